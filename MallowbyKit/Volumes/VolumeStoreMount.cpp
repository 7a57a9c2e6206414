#include "Platform/MountTable.h"
#include "Volumes/VolumeStore.h"

#include <QHash>

#include <functional>

namespace mallowby {

QList<VolumeStore::Mount> VolumeStore::Mount::current(const MountTable& table, bool includeHidden)
{
    QList<Mount> mounts = table.read();
    if (!includeHidden)
        mounts.removeIf([](const Mount& mount) { return mount.isHidden; });
    return mounts;
}

std::optional<QString> VolumeStore::Mount::bsdName() const
{
    if (!source.startsWith(QLatin1String("/dev/")))
        return std::nullopt;
    // The name is looked up below /dev on the main thread: it must not lead anywhere else.
    const QString name = source.mid(5);
    for (const QStringView part : QStringView(name).split(QLatin1Char('/')))
        if (part.isEmpty() || part == QLatin1String(".") || part == QLatin1String(".."))
            return std::nullopt;
    return name;
}

QStringList VolumeStore::Mount::uniqueIDs(const QList<Mount>& mounts, const QStringList& baseIDs)
{
    QStringList ids = baseIDs;
    const auto sharedIDs = [&ids] {
        QHash<QString, int> counts;
        for (const QString& id : std::as_const(ids))
            ++counts[id];
        return counts;
    };
    const auto extendShared = [&](const std::function<QString(qsizetype)>& suffix) {
        const QHash<QString, int> counts = sharedIDs();
        for (qsizetype i = 0; i < ids.size(); ++i)
            if (counts.value(ids[i]) > 1)
                ids[i] += suffix(i);
    };
    extendShared([&](qsizetype i) {
        return mounts[i].root == QLatin1String("/") ? QString() : QLatin1Char(':') + mounts[i].root;
    });
    extendShared([&](qsizetype i) { return QLatin1Char('@') + mounts[i].path; });
    QHash<QString, int> seen;
    extendShared([&](qsizetype i) {
        const int n = ++seen[ids[i]];
        return n == 1 ? QString() : QLatin1Char('#') + QString::number(n);
    });
    return ids;
}

Volume VolumeStore::Mount::toVolume(const DiskDescription& description) const
{
    Volume volume;
    volume.bsdName = bsdName();
    volume.isBoot = path == QLatin1String("/");
    if (description.deviceModel)
        volume.deviceModel = description.deviceModel->trimmed();
    volume.id = description.volumeUUID.value_or(source);
    if (description.volumeName) {
        volume.name = *description.volumeName;
    } else {
        const qsizetype slash = path.lastIndexOf(QLatin1Char('/'));
        volume.name = path == QLatin1String("/") ? path : path.mid(slash + 1);
    }
    volume.kind = VolumeKind::classify(isLocal, volume.isBoot, volume.deviceModel, description.deviceInternal,
                                       description.mediaRemovable);
    // FUSE mounts of NTFS and exFAT drives say "fuseblk"; the device knows what it holds.
    const bool fuseBlock = type == QLatin1String("fuseblk") && description.fileSystemType;
    volume.format = Volume::formatName(fuseBlock ? *description.fileSystemType : type);
    volume.deviceProtocol = description.deviceProtocol;
    volume.mountPath = path;
    return volume;
}

} // namespace mallowby
