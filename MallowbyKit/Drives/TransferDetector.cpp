#include "Drives/TransferDetector.h"

#include "Drives/Activity.h"

namespace mallowby {

bool TransferDetector::update(Clock::TimePoint now, double rate)
{
    const bool wasActive = isActive;
    const bool wasPending = aboveSince.has_value();

    if (Activity::isHigh(rate)) {
        belowSince.reset();
        if (!aboveSince)
            aboveSince = now;
        if (now - *aboveSince >= Activity::activationTime)
            isActive = true;
    } else {
        aboveSince.reset();
        if (isActive) {
            if (!belowSince)
                belowSince = now;
            if (now - *belowSince >= Activity::quietTime) {
                isActive = false;
                belowSince.reset();
            }
        }
    }

    if (isActive != wasActive)
        return true;
    if (isActive)
        return false;
    return aboveSince.has_value() != wasPending;
}

} // namespace mallowby
