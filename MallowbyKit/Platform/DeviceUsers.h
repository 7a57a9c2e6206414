#pragma once

#include <QList>
#include <QStringList>

namespace mallowby {

// What the kernel knows uses block devices and paths besides processes and mounts: swap areas,
// devices stacked on a disk, NFS exports.
class DeviceUsers {
public:
    struct Swap {
        QString path;  // the file, or the device node of a partition
        bool isPartition = false;

        bool operator==(const Swap&) const = default;
    };

    // A device-mapper target or md array on a disk, that the eject does not tear down itself.
    struct Stacked {
        QString name;     // the block device, e.g. "dm-3" or "md0"
        QString label;    // the device-mapper name or the array's name; the name without one
        quint64 device = 0;
        QStringList holders;  // the devices stacked on it in turn

        bool operator==(const Stacked&) const = default;
    };

    virtual ~DeviceUsers() = default;

    virtual QList<Swap> swaps() const = 0;
    // The exported paths.
    virtual QStringList exports() const = 0;
    // The whole disks below these block devices (partitions go to their disk, stacked devices
    // down to the disks they are made of).
    virtual QStringList disksBelow(const QStringList& devices) const = 0;
    // Whether `device` is one of `disks` or a partition of one.
    virtual bool isOn(const QString& device, const QStringList& disks) const = 0;
    // The devices stacked on the disks and their partitions, except the encrypted and LVM layers
    // the eject locks or deactivates itself, bottom first.
    virtual QList<Stacked> stackedOn(const QStringList& disks) const = 0;
};

} // namespace mallowby
