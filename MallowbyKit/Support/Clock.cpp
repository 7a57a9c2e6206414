#include "Support/Clock.h"

#include <QTimer>

#include <coroutine>

namespace mallowby {

namespace {

class QtTimer final : public Clock::Timer {
public:
    QtTimer(Clock::Duration delay, std::optional<Clock::Duration> interval, std::function<void()> fire)
        : m_timer(new QTimer), m_interval(interval)
    {
        const auto ms = [](Clock::Duration d) {
            return std::chrono::duration_cast<std::chrono::milliseconds>(d);
        };
        // Coarse timers may be 5% off, within the tenth of leeway the long timers allow.
        m_timer->setTimerType(ms(interval.value_or(delay)).count() >= 1000 ? Qt::CoarseTimer : Qt::PreciseTimer);
        m_timer->setSingleShot(true);
        m_timer->setInterval(ms(delay));
        QObject::connect(m_timer, &QTimer::timeout, m_timer, [this, fire = std::move(fire)] {
            auto self = fire; // the handle may be destroyed by the callback
            if (m_interval) {
                m_timer->setSingleShot(false);
                m_timer->setInterval(std::chrono::duration_cast<std::chrono::milliseconds>(*m_interval));
                m_timer->start();
            }
            self();
        });
        m_timer->start();
    }

    ~QtTimer() override
    {
        m_timer->stop();
        m_timer->disconnect();
        m_timer->deleteLater();
    }

private:
    QTimer* m_timer;
    std::optional<Clock::Duration> m_interval;
};

class SystemClock final : public Clock {
public:
    TimePoint now() const override { return std::chrono::steady_clock::now(); }

    std::unique_ptr<Timer> schedule(Duration delay, std::optional<Duration> interval,
                                    std::function<void()> fire) override
    {
        return std::make_unique<QtTimer>(delay, interval, std::move(fire));
    }
};

} // namespace

QCoro::Task<> Clock::sleep(Duration delay)
{
    struct Awaiter {
        Clock& clock;
        Duration delay;
        std::unique_ptr<Timer> timer;
        bool await_ready() const noexcept { return false; }
        void await_suspend(std::coroutine_handle<> handle)
        {
            timer = clock.schedule(delay, std::nullopt, [handle] { handle.resume(); });
        }
        void await_resume() const noexcept {}
    };
    co_await Awaiter{*this, delay, nullptr};
}

Clock& Clock::system()
{
    static SystemClock clock;
    return clock;
}

} // namespace mallowby
