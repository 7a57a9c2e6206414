#pragma once

#include "Support/Clock.h"

#include <map>

namespace mallowby::test {

// A clock that moves only when the test advances it. Timers fire in due order during advance().
class ManualClock final : public Clock {
public:
    TimePoint now() const override { return m_now; }
    std::unique_ptr<Timer> schedule(Duration delay, std::optional<Duration> interval, std::function<void()> fire) override;
    // Moves time forward, firing every timer that falls due on the way, each at its own time.
    void advance(Duration by);
    // Moves time forward without firing anything, as when the main thread was busy; the timers
    // that fell due fire late, at the next advance().
    void stall(Duration by) { m_now += by; }
    // Timers that will still fire.
    size_t pendingTimers() const;

private:
    struct Entry {
        TimePoint due;  // max() once a one-shot has fired; its handle still owns the entry
        std::optional<Duration> interval;
        std::function<void()> fire;
    };
    TimePoint m_now{std::chrono::hours(1)};
    quint64 m_nextId = 1;
    std::map<quint64, Entry> m_timers;
};

} // namespace mallowby::test
