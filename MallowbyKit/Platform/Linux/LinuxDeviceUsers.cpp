#include "Platform/Linux/LinuxDeviceUsers.h"

#include "Platform/Linux/ProcfsProcessTable.h"
#include "Support/FilePath.h"

#include <QFile>
#include <QSet>

namespace mallowby {

namespace {

std::optional<QByteArray> readText(const QString& path)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return std::nullopt;
    return file.readAll();  // QFile reads until the end, short reads and all
}

// The first field of each line that starts with '/' (exports and etab both begin a line with
// the path; comments begin with '#').
QStringList exportedPaths(const QByteArray& text)
{
    QStringList paths;
    for (const QByteArray& line : text.split('\n')) {
        if (!line.startsWith('/'))
            continue;
        qsizetype stop = 0;
        while (stop < line.size() && line[stop] != ' ' && line[stop] != '\t')
            ++stop;
        const QString path = FilePath::fromKernel(line.left(stop));
        if (!paths.contains(path))
            paths.append(path);
    }
    return paths;
}

} // namespace

LinuxDeviceUsers::LinuxDeviceUsers(QString procRoot, QString sysRoot, QString etab)
    : m_procRoot(std::move(procRoot)), m_sysfs(std::move(sysRoot)), m_etab(std::move(etab))
{
}

QList<DeviceUsers::Swap> LinuxDeviceUsers::swaps() const
{
    // "Filename  Type  Size  Used  Priority", then one line per area.
    QList<Swap> swaps;
    const QList<QByteArray> lines = readText(m_procRoot + QStringLiteral("/swaps")).value_or(QByteArray()).split('\n');
    for (qsizetype i = 1; i < lines.size(); ++i) {
        const QList<QByteArray> fields = lines[i].simplified().split(' ');
        if (fields.size() < 2 || !fields[0].startsWith('/'))
            continue;
        swaps.append({FilePath::fromKernel(fields[0]), fields[1] == "partition"});
    }
    return swaps;
}

QStringList LinuxDeviceUsers::exports() const
{
    if (const auto nfsd = readText(m_procRoot + QStringLiteral("/fs/nfsd/exports")))
        return exportedPaths(*nfsd);
    return exportedPaths(readText(m_etab).value_or(QByteArray()));
}

QStringList LinuxDeviceUsers::disksBelow(const QStringList& devices) const
{
    QStringList disks;
    for (const QString& device : devices)
        for (const QString& disk : m_sysfs.physicalDisks(m_sysfs.kernelName(device).value_or(device)))
            if (!disks.contains(disk))
                disks.append(disk);
    return disks;
}

bool LinuxDeviceUsers::isOn(const QString& device, const QStringList& disks) const
{
    const auto name = m_sysfs.kernelName(device);
    return name && disks.contains(m_sysfs.wholeDisk(*name));
}

QList<DeviceUsers::Stacked> LinuxDeviceUsers::stackedOn(const QStringList& disks) const
{
    QList<Stacked> stacked;
    QStringList queue;
    for (const QString& disk : disks) {
        queue.append(m_sysfs.holders(disk));
        for (const QString& partition : m_sysfs.partitions(disk))
            queue.append(m_sysfs.holders(partition));
    }
    QSet<QString> seen;
    for (int visits = 0; !queue.isEmpty() && visits < Sysfs::visitLimit; ++visits) {
        const QString name = queue.takeFirst();
        if (seen.contains(name))
            continue;
        seen.insert(name);
        const QStringList above = m_sysfs.holders(name);
        queue.append(above);
        // The eject locks encrypted layers and deactivates logical volumes itself.
        const QString uuid = m_sysfs.attribute(name, QStringLiteral("dm/uuid")).value_or(QString());
        if (uuid.startsWith(QLatin1String("CRYPT-")) || uuid.startsWith(QLatin1String("LVM-")))
            continue;
        const QString label = m_sysfs.attribute(name, QStringLiteral("dm/name")).value_or(name);
        stacked.append({name, label, m_sysfs.deviceNumber(name).value_or(0), above});
    }
    return stacked;
}

} // namespace mallowby
