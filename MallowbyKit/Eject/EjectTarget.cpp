#include "Eject/EjectTarget.h"

#include "Drives/Drive.h"
#include "Platform/BlockRegistry.h"
#include "Platform/MountTable.h"

#include <QSet>

namespace mallowby {

EjectTarget EjectTarget::fromDrive(const Drive& drive)
{
    return EjectTarget{drive.id, drive.name, drive.kind, drive.members, std::nullopt};
}

EjectTarget EjectTarget::fromNetworkVolume(const Volume& volume)
{
    return EjectTarget{volume.id, volume.name, volume.kind, {}, volume.mountPath};
}

QList<VolumeStore::Mount> EjectTarget::mounts(const MountTable& table, const BlockRegistry& registry) const
{
    QList<VolumeStore::Mount> result;
    const QList<VolumeStore::Mount> all = VolumeStore::Mount::current(table, true);
    if (networkMountPath) {
        for (const auto& mount : all)
            if (mount.path == *networkMountPath)
                result.append(mount);
        return result;
    }
    QSet<quint64> driverIDs;
    for (const BlockDevice& member : members)
        driverIDs.insert(member.driverID);
    for (const auto& mount : all) {
        const auto bsdName = mount.bsdName();
        if (!bsdName)
            continue;
        const QList<BlockDevice> below = registry.members(*bsdName);
        if (std::any_of(below.cbegin(), below.cend(), [&](const BlockDevice& d) { return driverIDs.contains(d.driverID); }))
            result.append(mount);
    }
    return result;
}

QStringList EjectTarget::dependentWholeDisks(const MountTable& table, const BlockRegistry& registry) const
{
    QStringList memberNames;
    for (const BlockDevice& member : members)
        memberNames.append(member.bsdName);
    QStringList result;
    const auto add = [&](const QString& name) {
        if (!name.isEmpty() && !memberNames.contains(name) && !result.contains(name))
            result.append(name);
    };
    for (const BlockDevice& member : members) {
        const QStringList above = registry.wholeMediaBelow(member.bsdName);
        for (auto it = above.crbegin(); it != above.crend(); ++it)
            add(*it);
    }
    for (const auto& mount : mounts(table, registry))
        if (const auto bsdName = mount.bsdName())
            add(registry.wholeDisk(*bsdName).value_or(QString()));
    return result;
}

} // namespace mallowby
