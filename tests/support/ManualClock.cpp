#include "support/ManualClock.h"

#include <QCoreApplication>

#include <algorithm>

namespace mallowby::test {

std::unique_ptr<Clock::Timer> ManualClock::schedule(Duration delay, std::optional<Duration> interval, std::function<void()> fire)
{
    struct Handle final : Timer {
        Handle(ManualClock* c, quint64 i) : clock(c), id(i) {}
        ~Handle() override { clock->m_timers.erase(id); }
        ManualClock* clock;
        quint64 id;
    };
    const quint64 id = m_nextId++;
    m_timers.emplace(id, Entry{m_now + delay, interval, std::move(fire)});
    return std::make_unique<Handle>(this, id);
}

size_t ManualClock::pendingTimers() const
{
    return size_t(std::count_if(m_timers.cbegin(), m_timers.cend(), [](const auto& t) { return t.second.due != TimePoint::max(); }));
}

void ManualClock::advance(Duration by)
{
    const TimePoint end = m_now + by;
    for (;;) {
        // The earliest due timer; of equals, the first made.
        const auto next = std::min_element(m_timers.begin(), m_timers.end(), [](const auto& a, const auto& b) { return a.second.due < b.second.due; });
        if (next == m_timers.end() || next->second.due > end)
            break;
        m_now = std::max(m_now, next->second.due);
        const auto fire = next->second.fire;
        next->second.due = next->second.interval ? next->second.due + *next->second.interval : TimePoint::max();
        fire();
        // Let queued work (coalesced rebuilds, resumed coroutines) run at this instant.
        QCoreApplication::processEvents();
    }
    m_now = end;
}

} // namespace mallowby::test
