#include "Popover/PopoverModel.h"

namespace mallowby {

QList<Drive> PopoverModel::drivesOf(VolumeKind kind) const
{
    QList<Drive> result;
    for (const Drive& drive : drives)
        if (drive.kind == kind)
            result.append(drive);
    return result;
}

QList<Drive> PopoverModel::externalDrives() const
{
    return drivesOf(VolumeKind::external);
}

QList<Drive> PopoverModel::diskImageDrives() const
{
    return shown.contains(VolumeKind::diskImage) ? drivesOf(VolumeKind::diskImage) : QList<Drive>{};
}

QList<Drive> PopoverModel::internalDrives() const
{
    return shown.contains(VolumeKind::internal) ? drivesOf(VolumeKind::internal) : QList<Drive>{};
}

QList<Volume> PopoverModel::networkVolumes() const
{
    QList<Volume> result;
    if (shown.contains(VolumeKind::network))
        for (const Volume& volume : volumes)
            if (volume.kind == VolumeKind::network)
                result.append(volume);
    return result;
}

QList<Volume> PopoverModel::looseVolumes(VolumeKind kind) const
{
    QList<Volume> result;
    if (!shown.contains(kind))
        return result;
    QSet<QString> tied;
    for (const Drive& drive : drives)
        for (const QString& id : drive.volumeIDs)
            tied.insert(id);
    for (const Volume& volume : volumes)
        if (volume.kind == kind && !tied.contains(volume.id))
            result.append(volume);
    return result;
}

QList<Volume> PopoverModel::volumesOf(const Drive& drive) const
{
    QList<Volume> result;
    for (const QString& id : drive.volumeIDs)
        for (const Volume& volume : volumes)
            if (volume.id == id) {
                result.append(volume);
                break;
            }
    return result;
}

std::optional<Volume> PopoverModel::bootVolume() const
{
    for (const Volume& volume : volumes)
        if (volume.isBoot && shown.contains(volume.kind))
            return volume;
    return std::nullopt;
}

void PopoverModel::appendDrives(QList<Entry>& entries, const QList<Drive>& list) const
{
    for (const Drive& drive : list)
        entries.append({Entry::Kind::driveCard, QStringLiteral("drive:") + drive.id, drive, volumesOf(drive), {}});
}

void PopoverModel::appendLoose(QList<Entry>& entries, VolumeKind kind) const
{
    for (const Volume& volume : looseVolumes(kind))
        entries.append({Entry::Kind::volumeRow, QStringLiteral("volume:") + volume.id, std::nullopt, {volume}, {}});
}

QList<PopoverModel::Entry> PopoverModel::entries() const
{
    QList<Entry> result;
    if (shown.contains(VolumeKind::external)) {
        appendDrives(result, externalDrives());
        appendLoose(result, VolumeKind::external);
    }

    const QList<Drive> images = diskImageDrives();
    if (!images.isEmpty() || !looseVolumes(VolumeKind::diskImage).isEmpty()) {
        const QString title = QStringLiteral("disk images");
        result.append({Entry::Kind::sectionLabel, QStringLiteral("label:") + title, std::nullopt, {}, title});
        appendDrives(result, images);
        appendLoose(result, VolumeKind::diskImage);
    }

    const QList<Volume> network = networkVolumes();
    if (!network.isEmpty()) {
        const QString title = QStringLiteral("network");
        result.append({Entry::Kind::sectionLabel, QStringLiteral("label:") + title, std::nullopt, {}, title});
        result.append({Entry::Kind::networkCard, QStringLiteral("network"), std::nullopt, network, {}});
    }

    if (!internalDrives().isEmpty() || !looseVolumes(VolumeKind::internal).isEmpty())
        result.append({Entry::Kind::internalSection, QStringLiteral("internal"), std::nullopt, {}, {}});
    return result;
}

QList<PopoverModel::Entry> PopoverModel::internalEntries() const
{
    QList<Entry> result;
    appendDrives(result, internalDrives());
    appendLoose(result, VolumeKind::internal);
    return result;
}

QStringList PopoverModel::keys(const QList<Entry>& entries)
{
    QStringList result;
    result.reserve(entries.size());
    for (const Entry& entry : entries)
        result.append(entry.key);
    return result;
}

} // namespace mallowby
