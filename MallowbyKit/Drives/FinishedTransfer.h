#pragma once

#include "Support/Clock.h"

namespace mallowby {

// A large write that has ended.
struct FinishedTransfer {
    quint64 bytes = 0;
    // From the start of the write to the start of the quiet run that ended it.
    Clock::Duration duration{};

    bool operator==(const FinishedTransfer&) const = default;
};

} // namespace mallowby
