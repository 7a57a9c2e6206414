#pragma once

#include "Drives/BlockDevice.h"
#include "Drives/BlockDriver.h"
#include "Platform/AttachedImage.h"

#include <QList>
#include <QStringList>

#include <memory>
#include <optional>

namespace mallowby {

// The system's tree of block devices: which physical devices stand behind a device name, what
// is stacked on top of a disk, and which disk images are attached. Reads only kernel state, so
// calls are short and may run on the main thread.
class BlockRegistry {
public:
    virtual ~BlockRegistry() = default;

    // The physical devices behind a device named below /dev ("sdb1", "mapper/luks-…", "md0"),
    // sorted by driverID without repeats; empty for an unknown name or a device with no physical
    // disk below it.
    virtual QList<BlockDevice> members(const QString& bsdName) const = 0;

    // The whole disks stacked on top of a disk or its partitions (dm-crypt, LVM, md), all
    // generations, nearest first; the disk itself is not included.
    virtual QStringList wholeMediaBelow(const QString& bsdName) const = 0;

    // The whole disk of a device named below /dev: "sdb" for "sdb1", "dm-0" for "mapper/x"; none
    // for an unknown name.
    virtual std::optional<QString> wholeDisk(const QString& bsdName) const = 0;

    // Opens a device for reading its counters; none when it is gone (or was replaced by another
    // attachment under the same name).
    virtual std::unique_ptr<BlockDriver> open(const BlockDevice& device) const = 0;

    // The attached disk images, in device order.
    virtual QList<AttachedImage> attachedImages() const = 0;
};

} // namespace mallowby
