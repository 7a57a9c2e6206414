#pragma once

#include <QHashFunctions>
#include <QString>

#include <compare>

namespace mallowby {

// One physical device: the driver object behind a volume and the whole disk it drives.
struct BlockDevice {
    // Identifies the device for as long as it stays attached (the disk's sequence number).
    quint64 driverID = 0;
    // The whole disk ("sdb"), never a partition.
    QString bsdName;

    bool operator==(const BlockDevice&) const = default;
    // Device lists are kept in driverID order; the name plays no part in it.
    std::weak_ordering operator<=>(const BlockDevice& other) const { return driverID <=> other.driverID; }
};

inline size_t qHash(const BlockDevice& device, size_t seed = 0)
{
    return qHashMulti(seed, device.driverID, device.bsdName);
}

} // namespace mallowby
