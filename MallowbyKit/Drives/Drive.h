#pragma once

#include "Drives/BlockDevice.h"
#include "Drives/IOCounters.h"
#include "Drives/RingBuffer.h"
#include "Drives/WriteSession.h"
#include "Volumes/VolumeKind.h"

#include <QList>
#include <QString>
#include <QStringList>

#include <optional>

namespace mallowby {

// One physical drive (a device, or a set of devices that carry the same volumes) with its live
// rates, its last minute of history and its byte counts.
struct Drive {
    static constexpr qsizetype traceCapacity = 60;

    QString id;  // the members' driver IDs in ascending order, joined by "+"
    QString name;
    std::optional<QString> deviceProtocol;
    VolumeKind kind;
    QList<BlockDevice> members;  // in driverID order
    QStringList volumeIDs;       // in volume-list order
    // Bytes per second over the last sampling interval; none when some member gives no statistics.
    std::optional<double> readRate;
    std::optional<double> writeRate;
    // One entry per elapsed second of sampling, oldest first.
    RingBuffer<double> readTrace{traceCapacity, 0.0};
    RingBuffer<double> writeTrace{traceCapacity, 0.0};
    IOCounters session;  // bytes since the devices were first seen
    WriteSession writeSession;

    bool operator==(const Drive&) const = default;
};

} // namespace mallowby
