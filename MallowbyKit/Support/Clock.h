#pragma once

#include <QCoro/QCoroTask>

#include <chrono>
#include <functional>
#include <memory>
#include <optional>

namespace mallowby {

// Monotonic time and main-thread timers. Services take a Clock so tests can drive them with a
// manual one; the application uses Clock::system().
class Clock {
public:
    using Duration = std::chrono::nanoseconds;
    using TimePoint = std::chrono::steady_clock::time_point;

    // A scheduled timer; destroying the handle cancels it (also from inside its own callback).
    class Timer {
    public:
        virtual ~Timer() = default;
    };

    virtual ~Clock() = default;

    virtual TimePoint now() const = 0;

    // Calls `fire` on the calling thread's event loop after `delay`, then every `interval` when
    // one is given, until the returned handle is destroyed. Timers of a second or more may fire
    // up to a tenth of their interval late or 5% early.
    [[nodiscard]] virtual std::unique_ptr<Timer> schedule(Duration delay, std::optional<Duration> interval,
                                                          std::function<void()> fire) = 0;

    // Suspends the calling coroutine for `delay`.
    QCoro::Task<> sleep(Duration delay);

    // The real steady clock with Qt timers.
    static Clock& system();
};

} // namespace mallowby
