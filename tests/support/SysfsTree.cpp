#include "support/SysfsTree.h"

#include "support/TestEnvironment.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>

namespace mallowby::test {

SysfsTree::SysfsTree(const QStringList& fixtures) : m_dir(QDir::tempPath() + QStringLiteral("/mallowby-sysfs-XXXXXX"))
{
    QDir().mkpath(root() + QStringLiteral("/class/block"));
    for (const QString& fixture : fixtures) {
        const auto result = TestEnvironment::run(
            QStringLiteral("cp"), {QStringLiteral("-a"), TestEnvironment::dataPath(QStringLiteral("sysfs/") + fixture) + QStringLiteral("/."), root()});
        if (result.exitCode != 0)
            m_error = QStringLiteral("copying %1 failed: %2").arg(fixture, result.err);
    }
}

QString SysfsTree::path(const QString& name) const
{
    return QFileInfo(root() + QStringLiteral("/class/block/") + name).canonicalFilePath();
}

void SysfsTree::setCounters(const QString& name, IOCounters counters)
{
    setAttribute(name, QStringLiteral("stat"),
                 QStringLiteral("%1 0 %2 0 %3 0 %4 0 0 0 0 0 0 0 0 0 0\n")
                     .arg(counters.bytesRead / 4096)
                     .arg(counters.bytesRead / 512)
                     .arg(counters.bytesWritten / 4096)
                     .arg(counters.bytesWritten / 512));
}

void SysfsTree::setAttribute(const QString& name, const QString& relativePath, const QString& text)
{
    const QString file = path(name) + QLatin1Char('/') + relativePath;
    QDir().mkpath(QFileInfo(file).path());
    QFile out(file);
    // Rewritten in place: an open descriptor sees the new text, as with the kernel's files.
    if (!out.open(QIODevice::WriteOnly | QIODevice::Truncate) || out.write(text.toUtf8()) < 0)
        m_error = QStringLiteral("cannot write %1").arg(file);
}

void SysfsTree::removeAttribute(const QString& name, const QString& relativePath)
{
    QFile::remove(path(name) + QLatin1Char('/') + relativePath);
}

void SysfsTree::addDisk(const QString& name, const QString& dev, const QString& parentPath)
{
    const QString directory = root() + QLatin1Char('/') + parentPath + QLatin1Char('/') + name;
    QDir().mkpath(directory);
    QFile::link(directory, root() + QStringLiteral("/class/block/") + name);
    setAttribute(name, QStringLiteral("dev"), dev + QLatin1Char('\n'));
    setCounters(name, {});
}

void SysfsTree::stack(const QString& upper, const QString& lower)
{
    QDir().mkpath(path(upper) + QStringLiteral("/slaves"));
    QDir().mkpath(path(lower) + QStringLiteral("/holders"));
    QFile::link(path(lower), path(upper) + QStringLiteral("/slaves/") + lower);
    QFile::link(path(upper), path(lower) + QStringLiteral("/holders/") + upper);
}

} // namespace mallowby::test
