#include "Drives/WriteSession.h"

#include "Drives/Activity.h"

namespace mallowby {

std::optional<FinishedTransfer> WriteSession::update(quint64 written, Clock::TimePoint now, double rate)
{
    if (Activity::isHigh(rate)) {
        if (!startedAt)
            startedAt = now;
        belowSince.reset();
        bytes += written;
        return std::nullopt;
    }
    if (!startedAt)
        return std::nullopt;

    // The quiet tail's trickle still counts toward the total; the duration stops where it began.
    bytes += written;
    if (!belowSince)
        belowSince = now;
    if (now - *belowSince < Activity::quietTime)
        return std::nullopt;

    const FinishedTransfer finished{bytes, *belowSince - *startedAt};
    *this = WriteSession{};
    if (finished.bytes < Activity::largeTransferBytes)
        return std::nullopt;
    return finished;
}

} // namespace mallowby
