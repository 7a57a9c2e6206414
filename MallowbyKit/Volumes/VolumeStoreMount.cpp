#include "Platform/MountTable.h"
#include "Volumes/VolumeStore.h"

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
    return source.mid(5);
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
    volume.format = Volume::formatName(type);
    volume.deviceProtocol = description.deviceProtocol;
    volume.mountPath = path;
    return volume;
}

} // namespace mallowby
