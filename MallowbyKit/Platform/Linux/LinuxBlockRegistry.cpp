#include "Platform/Linux/LinuxBlockRegistry.h"

#include "Platform/Linux/LinuxBlockDriver.h"

#include <QSet>

#include <algorithm>

#include <sys/sysmacros.h>

namespace mallowby {

LinuxBlockRegistry::LinuxBlockRegistry(Sysfs sysfs) : m_sysfs(std::move(sysfs)) {}

std::optional<quint64> LinuxBlockRegistry::driverID(const Sysfs& sysfs, const QString& disk)
{
    if (const auto sequence = sysfs.attribute(disk, QStringLiteral("diskseq")); sequence && !sequence->isEmpty()) {
        bool ok = false;
        const quint64 value = sequence->toULongLong(&ok);
        if (ok)
            return value;
    }
    const auto number = sysfs.deviceNumber(disk);
    if (!number)
        return std::nullopt;
    const dev_t dev = dev_t(*number);
    return (quint64(major(dev)) << 20) | quint64(minor(dev));
}

QList<BlockDevice> LinuxBlockRegistry::members(const QString& bsdName) const
{
    const auto name = m_sysfs.kernelName(bsdName);
    if (!name)
        return {};
    QList<BlockDevice> devices;
    for (const QString& disk : m_sysfs.physicalDisks(*name)) {
        // A dm or md device with nothing below it has no physical disk to speak for it.
        if (m_sysfs.isStacked(disk))
            continue;
        if (const auto id = driverID(m_sysfs, disk))
            devices.append(BlockDevice{*id, disk});
    }
    std::sort(devices.begin(), devices.end());
    devices.erase(std::unique(devices.begin(), devices.end()), devices.end());
    return devices;
}

QStringList LinuxBlockRegistry::wholeMediaBelow(const QString& bsdName) const
{
    const auto name = m_sysfs.kernelName(bsdName);
    if (!name)
        return {};
    QStringList result;
    QSet<QString> visited{*name};
    // Depth first, so each device comes before what is stacked on it.
    const auto walk = [&](const auto& self, const QString& device) -> void {
        QStringList above = m_sysfs.holders(device);
        for (const QString& partition : m_sysfs.partitions(device))
            above.append(m_sysfs.holders(partition));
        for (const QString& holder : std::as_const(above)) {
            if (visited.contains(holder) || visited.size() > Sysfs::visitLimit)
                continue;
            visited.insert(holder);
            if (!m_sysfs.isPartition(holder))
                result.append(holder);
            self(self, holder);
        }
    };
    walk(walk, *name);
    return result;
}

std::unique_ptr<BlockDriver> LinuxBlockRegistry::open(const BlockDevice& device) const
{
    return LinuxBlockDriver::open(m_sysfs, device);
}

QList<AttachedImage> LinuxBlockRegistry::attachedImages() const
{
    static const QString deleted = QStringLiteral(" (deleted)");
    QList<AttachedImage> images;
    for (const QString& name : m_sysfs.blockDevices()) {
        if (!name.startsWith(QLatin1String("loop")))
            continue;
        auto path = m_sysfs.line(name, QStringLiteral("loop/backing_file"));
        if (!path || path->isEmpty())
            continue;
        // The kernel marks an image file that was deleted while attached.
        if (path->endsWith(deleted))
            path->chop(deleted.size());
        images.append(AttachedImage{*path, name});
    }
    return images;
}

std::optional<QString> LinuxBlockRegistry::wholeDisk(const QString& bsdName) const
{
    const auto name = m_sysfs.kernelName(bsdName);
    if (!name)
        return std::nullopt;
    return m_sysfs.wholeDisk(*name);
}

} // namespace mallowby
