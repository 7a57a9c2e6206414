#pragma once

#include "Eject/Dissent.h"
#include "Volumes/VolumeStore.h"

#include <QCoro/QCoroTask>

#include <optional>

namespace mallowby {

// The system service that unmounts and ejects disks. Every request answers once, with a
// Dissent when it was refused; none of them blocks the calling thread.
class DiskService {
public:
    virtual ~DiskService() = default;

    // Unmounts every file system on a whole disk and its partitions; then locks it when it is an
    // unlocked encrypted device, or stops it when it is a RAID array.
    virtual QCoro::Task<std::optional<Dissent>> unmountDisk(QString bsdName, bool force) = 0;
    // Ejects a whole disk's media and powers the drive off where it can; detaches a loop device.
    virtual QCoro::Task<std::optional<Dissent>> ejectDisk(QString bsdName) = 0;
    // Unmounts a network share (a mount without a block device).
    virtual QCoro::Task<std::optional<Dissent>> unmountShare(VolumeStore::Mount mount, bool force) = 0;
    // Whether nothing holds a whole disk any more: no file system on it or its partitions (one
    // unmounted lazily lives on while processes use it), no mapping, no array.
    virtual QCoro::Task<bool> isReleased(QString bsdName)
    {
        Q_UNUSED(bsdName);
        co_return true;
    }
};

} // namespace mallowby
