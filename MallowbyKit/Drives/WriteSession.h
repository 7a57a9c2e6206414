#pragma once

#include "Drives/FinishedTransfer.h"
#include "Support/Clock.h"

#include <optional>

namespace mallowby {

// One drive's sustained write: opens on a high write rate, closes after 10 s of low rate and
// reports the write when it reached a gigabyte.
struct WriteSession {
    quint64 bytes = 0;
    std::optional<Clock::TimePoint> startedAt;   // set while the session is open
    std::optional<Clock::TimePoint> belowSince;  // start of the current quiet run

    bool operator==(const WriteSession&) const = default;

    // `written` bytes in the interval that ended at `now`, at `rate` bytes per second.
    std::optional<FinishedTransfer> update(quint64 written, Clock::TimePoint now, double rate);

    bool isOpen() const { return startedAt.has_value(); }
};

} // namespace mallowby
