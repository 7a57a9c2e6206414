#pragma once

#include "Drives/BlockDevice.h"
#include "Volumes/VolumeStore.h"

#include <QList>
#include <QString>

#include <optional>

namespace mallowby {

class BlockRegistry;
class MountTable;
struct Drive;

// What an eject acts on: a drive (its whole disks) or a network share (its mount point).
struct EjectTarget {
    QString id;  // the drive's or the network volume's id
    QString name;
    VolumeKind kind;
    QList<BlockDevice> members;               // empty for a network share
    std::optional<QString> networkMountPath;  // only for a network share

    bool operator==(const EjectTarget&) const = default;

    static EjectTarget fromDrive(const Drive& drive);
    static EjectTarget fromNetworkVolume(const Volume& volume);

    // The target's mounted file systems, hidden ones included, read fresh, in table order.
    QList<VolumeStore::Mount> mounts(const MountTable& table, const BlockRegistry& registry) const;
    // The whole disks other than the members that must be unmounted first (encrypted volumes,
    // arrays and logical volumes stacked on the members), top of the stack first, no repeats.
    QStringList dependentWholeDisks(const MountTable& table, const BlockRegistry& registry) const;
};

} // namespace mallowby
