#include "Platform/Linux/ProcfsProcessTable.h"

#include <QDir>
#include <QFile>

#include <algorithm>

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

namespace mallowby {

namespace {

QByteArray readSmallFile(const QString& path, qint64 limit = 64 * 1024)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly | QIODevice::Unbuffered))
        return {};
    return file.read(limit);
}

} // namespace

ProcfsProcessTable::ProcfsProcessTable(QString procRoot, uid_t uid) : m_root(std::move(procRoot)), m_uid(uid) {}

uid_t ProcfsProcessTable::currentUid()
{
    return ::getuid();
}

QString ProcfsProcessTable::path(qint32 pid, const char* entry) const
{
    return QStringLiteral("%1/%2/%3").arg(m_root).arg(pid).arg(QLatin1String(entry));
}

std::optional<uid_t> ProcfsProcessTable::owner(qint32 pid) const
{
    const QByteArray status = readSmallFile(path(pid, "status"));
    for (const QByteArray& line : status.split('\n')) {
        if (!line.startsWith("Uid:"))
            continue;
        const QList<QByteArray> fields = line.mid(4).simplified().split(' ');
        bool ok = false;
        const uint uid = fields.value(0).toUInt(&ok);
        return ok ? std::optional<uid_t>(uid) : std::nullopt;
    }
    return std::nullopt;
}

QList<qint32> ProcfsProcessTable::userProcesses() const
{
    QList<qint32> pids;
    const QStringList entries = QDir(m_root).entryList(QDir::Dirs | QDir::NoDotAndDotDot);
    for (const QString& entry : entries) {
        bool ok = false;
        const int pid = entry.toInt(&ok);
        if (ok && pid >= 1 && owner(pid) == m_uid)
            pids.append(pid);
    }
    std::sort(pids.begin(), pids.end());
    return pids;
}

std::optional<QString> ProcfsProcessTable::link(const QString& path) const
{
    char buffer[4096];
    const ssize_t length = ::readlink(QFile::encodeName(path).constData(), buffer, sizeof buffer);
    if (length < 1)
        return std::nullopt;
    return QString::fromUtf8(buffer, length);
}

std::optional<QString> ProcfsProcessTable::executablePath(qint32 pid) const
{
    auto target = link(path(pid, "exe"));
    if (target && target->endsWith(QLatin1String(" (deleted)")))
        target->chop(10);
    return target;
}

std::optional<QString> ProcfsProcessTable::commandName(qint32 pid) const
{
    const QByteArray comm = readSmallFile(path(pid, "comm"), 64).trimmed();
    if (comm.isEmpty())
        return std::nullopt;
    return QString::fromUtf8(comm);
}

std::optional<QList<QByteArray>> ProcfsProcessTable::statFields(qint32 pid) const
{
    const QByteArray stat = readSmallFile(path(pid, "stat"), 4096);
    // The command name may hold spaces and parentheses: the fields start after the last ')'.
    const qsizetype close = stat.lastIndexOf(')');
    if (close < 0)
        return std::nullopt;
    return stat.mid(close + 1).simplified().split(' ');
}

std::optional<qint32> ProcfsProcessTable::parent(qint32 pid) const
{
    const auto fields = statFields(pid);
    if (!fields || fields->size() < 2)
        return std::nullopt;
    bool ok = false;
    const int ppid = fields->at(1).toInt(&ok);
    return ok ? std::optional<qint32>(ppid) : std::nullopt;
}

std::optional<quint64> ProcfsProcessTable::startTime(qint32 pid) const
{
    const auto fields = statFields(pid);
    if (!fields || fields->size() < 20)
        return std::nullopt;
    bool ok = false;
    const quint64 ticks = fields->at(19).toULongLong(&ok);  // field 22
    return ok ? std::optional<quint64>(ticks) : std::nullopt;
}

std::optional<ProcessTable::FileRef> ProcfsProcessTable::fileOfLink(const QString& linkPath) const
{
    const auto target = link(linkPath);
    if (!target || !target->startsWith(QLatin1Char('/')))
        return std::nullopt;  // sockets, pipes, anonymous inodes
    struct statx info {};
    // Cached attributes only: a hung FUSE or NFS server is never asked.
    if (::statx(AT_FDCWD, QFile::encodeName(linkPath).constData(), AT_STATX_DONT_SYNC | AT_NO_AUTOMOUNT, STATX_TYPE, &info) != 0)
        return std::nullopt;
    QString path = *target;
    if (path.endsWith(QLatin1String(" (deleted)")))
        path.chop(10);
    return FileRef{path, quint64(makedev(info.stx_dev_major, info.stx_dev_minor))};
}

QList<ProcessTable::FileRef> ProcfsProcessTable::openFiles(qint32 pid) const
{
    QList<FileRef> files;
    const QString folder = path(pid, "fd");
    QStringList descriptors = QDir(folder).entryList(QDir::AllEntries | QDir::System | QDir::NoDotAndDotDot);
    std::sort(descriptors.begin(), descriptors.end(), [](const QString& a, const QString& b) { return a.toInt() < b.toInt(); });
    for (const QString& fd : std::as_const(descriptors))
        if (const auto file = fileOfLink(folder + QLatin1Char('/') + fd))
            files.append(*file);
    return files;
}

std::optional<ProcessTable::FileRef> ProcfsProcessTable::workingDirectory(qint32 pid) const
{
    return fileOfLink(path(pid, "cwd"));
}

QList<ProcessTable::FileRef> ProcfsProcessTable::mappedFiles(qint32 pid, int limit) const
{
    QList<FileRef> regions;
    QFile maps(path(pid, "maps"));
    if (!maps.open(QIODevice::ReadOnly))
        return regions;
    // procfs files report size 0, so read until a read comes back empty rather than asking atEnd().
    for (int count = 0; count < limit; ++count) {
        const QByteArray line = maps.readLine();
        if (line.isEmpty())
            break;
        // address perms offset major:minor inode path
        const QList<QByteArray> fields = line.simplified().split(' ');
        if (fields.size() < 6 || !fields[5].startsWith('/') || fields[4] == "0")
            continue;
        const QList<QByteArray> device = fields[3].split(':');
        bool majorOk = false, minorOk = false;
        const uint major = device.value(0).toUInt(&majorOk, 16);
        const uint minor = device.value(1).toUInt(&minorOk, 16);
        if (device.size() != 2 || !majorOk || !minorOk)
            continue;
        // The path is the rest of the line (it may hold spaces); no earlier field has a '/'.
        QByteArray path = line.mid(line.indexOf('/'));
        if (path.endsWith('\n'))
            path.chop(1);
        if (path.endsWith(" (deleted)"))
            path.chop(10);
        regions.append({QString::fromUtf8(path), quint64(makedev(major, minor))});
    }
    return regions;
}

} // namespace mallowby
