#include "Platform/Linux/Sysfs.h"

#include "Support/FilePath.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QSet>

#include <sys/sysmacros.h>

namespace mallowby {

Sysfs::Sysfs(QString root) : m_root(std::move(root)) {}

QString Sysfs::classPath(const QString& name) const
{
    return m_root + QStringLiteral("/class/block/") + name;
}

bool Sysfs::exists(const QString& name) const
{
    return !name.isEmpty() && !name.contains(QLatin1Char('/')) && QFileInfo::exists(classPath(name));
}

std::optional<QString> Sysfs::kernelName(const QString& devName) const
{
    if (exists(devName))
        return devName;
    if (devName.startsWith(QLatin1String("mapper/"))) {
        const QString mapped = devName.mid(7);
        for (const QString& name : blockDevices())
            if (name.startsWith(QLatin1String("dm-")) && attribute(name, QStringLiteral("dm/name")) == mapped)
                return name;
        return std::nullopt;
    }
    // Other names below /dev ("md/root", "disk/by-…", "vg/lv") are links to the kernel name.
    if (m_root == QLatin1String("/sys")) {
        const QFileInfo node(QStringLiteral("/dev/") + devName);
        if (node.isSymLink()) {
            const QString target = QFileInfo(node.symLinkTarget()).fileName();
            if (exists(target))
                return target;
        }
    }
    return std::nullopt;
}

std::optional<QString> Sysfs::line(const QString& name, const QString& relativePath) const
{
    QFile file(classPath(name) + QLatin1Char('/') + relativePath);
    if (!file.open(QIODevice::ReadOnly))
        return std::nullopt;
    QByteArray data = file.read(8192);
    if (data.isEmpty() && file.error() != QFileDevice::NoError)
        return std::nullopt;
    if (data.endsWith('\n'))
        data.chop(1);
    return FilePath::decode(data);  // backing_file is a path
}

std::optional<QString> Sysfs::attribute(const QString& name, const QString& relativePath) const
{
    auto text = line(name, relativePath);
    if (text)
        *text = text->trimmed();
    return text;
}

bool Sysfs::isPartition(const QString& name) const
{
    return QFileInfo::exists(classPath(name) + QStringLiteral("/partition"));
}

QString Sysfs::wholeDisk(const QString& name) const
{
    if (!isPartition(name))
        return name;
    const QString parent = QFileInfo(QFileInfo(classPath(name)).canonicalFilePath()).dir().dirName();
    return parent.isEmpty() ? name : parent;
}

QStringList Sysfs::links(const QString& name, const QString& folder) const
{
    QDir dir(classPath(name) + QLatin1Char('/') + folder);
    return dir.entryList(QDir::Dirs | QDir::Files | QDir::System | QDir::NoDotAndDotDot, QDir::Name);
}

QStringList Sysfs::slaves(const QString& name) const
{
    return links(name, QStringLiteral("slaves"));
}

QStringList Sysfs::holders(const QString& name) const
{
    return links(name, QStringLiteral("holders"));
}

QStringList Sysfs::partitions(const QString& disk) const
{
    if (!exists(disk) || isPartition(disk))
        return {};
    QStringList result;
    const QDir dir(QFileInfo(classPath(disk)).canonicalFilePath());
    for (const QString& entry : dir.entryList(QDir::Dirs | QDir::NoDotAndDotDot, QDir::Name))
        if (entry.startsWith(disk) && QFileInfo::exists(dir.filePath(entry) + QStringLiteral("/partition")))
            result.append(entry);
    return result;
}

bool Sysfs::isStacked(const QString& name) const
{
    return QFileInfo::exists(classPath(name) + QStringLiteral("/dm")) || QFileInfo::exists(classPath(name) + QStringLiteral("/md"));
}

QStringList Sysfs::physicalDisks(const QString& name) const
{
    QStringList result;
    QSet<QString> visited;
    QStringList pending{name};
    while (!pending.isEmpty()) {
        const QString disk = wholeDisk(pending.takeFirst());
        if (visited.contains(disk))
            continue;
        visited.insert(disk);
        if (visited.size() > visitLimit)
            break;
        const QStringList below = slaves(disk);
        if (below.isEmpty())
            result.append(disk);
        else
            pending.append(below);
    }
    return result;
}

std::optional<quint64> Sysfs::deviceNumber(const QString& name) const
{
    const auto text = attribute(name, QStringLiteral("dev"));
    if (!text)
        return std::nullopt;
    const QStringList parts = text->split(QLatin1Char(':'));
    bool majorOk = false, minorOk = false;
    if (parts.size() != 2)
        return std::nullopt;
    const uint major = parts[0].toUInt(&majorOk);
    const uint minor = parts[1].toUInt(&minorOk);
    if (!majorOk || !minorOk)
        return std::nullopt;
    return quint64(makedev(major, minor));
}

QString Sysfs::devicePath(const QString& name) const
{
    const QString resolved = QFileInfo(classPath(name)).canonicalFilePath();
    const QString root = QFileInfo(m_root).canonicalFilePath();
    if (resolved.isEmpty() || !resolved.startsWith(root + QLatin1Char('/')))
        return {};
    return resolved.mid(root.size() + 1);
}

QStringList Sysfs::blockDevices() const
{
    return QDir(m_root + QStringLiteral("/class/block"))
        .entryList(QDir::Dirs | QDir::Files | QDir::System | QDir::NoDotAndDotDot, QDir::Name);
}

} // namespace mallowby
