#pragma once

#include "Settings/ByteUnits.h"
#include "Support/Clock.h"

#include <QList>
#include <QString>

#include <optional>

namespace mallowby {

// How much cached data an eject still has to write out, how fast the drive takes it, and how
// long that will last. Fed with one sample every half second while the eject runs. The kernel
// tells no unprivileged reader how much of its cache belongs to one device, so the amount is the
// whole system's (Dirty plus Writeback): an upper bound. The rate is the drive's own.
class FlushEstimate {
public:
    struct Sample {
        Clock::TimePoint time;
        // Dirty plus Writeback of the whole system; none when unreadable.
        std::optional<quint64> pendingBytes;
        // The drive's cumulative bytes written, summed over its members; none when unreadable.
        std::optional<quint64> bytesWritten;
    };

    // At or below this amount nothing is worth showing.
    static constexpr quint64 floorBytes = 10'000'000;
    // The rate is taken over the samples of the last two seconds.
    static constexpr Clock::Duration rateWindow = std::chrono::seconds(2);

    void add(const Sample& sample);
    // The unmount returned: nothing is left.
    void finish();

    quint64 startBytes() const { return m_startBytes; }
    quint64 remainingBytes() const { return m_remaining; }
    // Bytes per second the drive writes, over the last two seconds since it began writing; 0
    // before that, while it stalls and while it gives no counters.
    double rate() const;
    bool isFinished() const { return m_finished; }
    // When the drive was first seen writing during this eject (its counters rose).
    std::optional<Clock::TimePoint> writingSince() const { return m_writingSince; }

    // More than the floor is left and the drive writes.
    bool showsProgress() const;
    // Whole seconds still to go, rounded up; only while progress shows.
    std::optional<qint64> secondsLeft() const;
    // Done so far, 0…1, against the amount at the start of the eject.
    double fractionDone() const;

    // "340 MB".
    QString remainingText(ByteUnits units) const;
    // "writing 340 MB, about 12 s"; empty while no progress shows.
    QString progressText(ByteUnits units) const;
    // "about 12 s", "about 3 min".
    static QString timeText(qint64 seconds);

    bool operator==(const FlushEstimate&) const = default;

private:
    struct Reading {
        Clock::TimePoint time;
        quint64 bytesWritten = 0;
        bool operator==(const Reading&) const = default;
    };

    bool m_started = false;
    bool m_finished = false;
    quint64 m_startBytes = 0;
    quint64 m_remaining = 0;
    QList<Reading> m_readings;  // the drive's counts within the rate window, oldest first
    std::optional<Clock::TimePoint> m_writingSince;
};

} // namespace mallowby
