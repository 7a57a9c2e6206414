#pragma once

#include "Support/Clock.h"

#include <optional>

namespace mallowby {

// Decides, with hysteresis, whether a transfer is going on: active after 3 s of uninterrupted
// high rate, inactive again after 10 s of uninterrupted low rate.
struct TransferDetector {
    bool isActive = false;
    std::optional<Clock::TimePoint> aboveSince;  // start of the current run of high samples
    std::optional<Clock::TimePoint> belowSince;  // start of the current run of low samples while active

    bool operator==(const TransferDetector&) const = default;

    // True when isActive flipped or, while inactive, the pending state appeared or went away.
    bool update(Clock::TimePoint now, double rate);

    // A high rate was seen but has not lasted long enough yet.
    bool isPending() const { return !isActive && aboveSince.has_value(); }
};

} // namespace mallowby
