#pragma once

#include <QtGlobal>

namespace mallowby {

// Cumulative bytes read and written by a device, or a sum or difference of such counts.
struct IOCounters {
    quint64 bytesRead = 0;
    quint64 bytesWritten = 0;

    bool operator==(const IOCounters&) const = default;

    // Field by field; wraps around on overflow.
    IOCounters operator+(const IOCounters& other) const
    {
        return {bytesRead + other.bytesRead, bytesWritten + other.bytesWritten};
    }

    // Field by field, later − earlier, or 0 where a counter went backwards (a re-attached or
    // reset device), never a huge wrapped value.
    static IOCounters delta(const IOCounters& later, const IOCounters& earlier)
    {
        return {later.bytesRead >= earlier.bytesRead ? later.bytesRead - earlier.bytesRead : 0,
                later.bytesWritten >= earlier.bytesWritten ? later.bytesWritten - earlier.bytesWritten : 0};
    }
};

} // namespace mallowby
