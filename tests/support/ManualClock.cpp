#include "support/ManualClock.h"

#include <QCoreApplication>

#include <algorithm>

namespace mallowby::test {

class ManualClock::Handle final : public Clock::Timer {
public:
    Handle(ManualClock& clock, quint64 id) : m_clock(clock), m_id(id) {}
    ~Handle() override { m_clock.m_timers.erase(m_id); }

private:
    ManualClock& m_clock;
    quint64 m_id;
};

std::unique_ptr<Clock::Timer> ManualClock::schedule(Duration delay, std::optional<Duration> interval,
                                                    std::function<void()> fire)
{
    const quint64 id = m_nextId++;
    m_timers.emplace(id, Entry{m_now + delay, interval, std::move(fire)});
    return std::make_unique<Handle>(*this, id);
}

size_t ManualClock::pendingTimers() const
{
    size_t count = 0;
    for (const auto& [id, entry] : m_timers)
        count += entry.due != TimePoint::max();
    return count;
}

void ManualClock::advance(Duration by)
{
    const TimePoint end = m_now + by;
    for (;;) {
        // The earliest due timer (by due time, then creation order).
        auto next = m_timers.end();
        for (auto it = m_timers.begin(); it != m_timers.end(); ++it)
            if (it->second.due <= end && (next == m_timers.end() || it->second.due < next->second.due))
                next = it;
        if (next == m_timers.end())
            break;
        m_now = std::max(m_now, next->second.due);
        auto fire = next->second.fire;
        if (next->second.interval)
            next->second.due += *next->second.interval;
        else
            next->second.due = TimePoint::max();  // spent; the handle still owns the entry
        fire();
        // Let queued work (coalesced rebuilds, resumed coroutines) run at this instant.
        QCoreApplication::processEvents();
    }
    m_now = end;
}

} // namespace mallowby::test
