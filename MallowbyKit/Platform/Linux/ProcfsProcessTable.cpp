#include "Platform/Linux/ProcfsProcessTable.h"

#include <QFile>

#include <algorithm>

#include <fcntl.h>
#include <dirent.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

namespace mallowby {

namespace {

constexpr QLatin1String deletedSuffix(" (deleted)");

// A procfs file, whole (procfs reports size 0, so read until a read comes back short).
QByteArray readFile(const char* path, qsizetype limit = 64 * 1024)
{
    const int fd = ::open(path, O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        return {};
    QByteArray data;
    char buffer[4096];
    while (data.size() < limit) {
        const ssize_t got = ::read(fd, buffer, sizeof buffer);
        if (got <= 0)
            break;
        data.append(buffer, got);
        if (got < ssize_t(sizeof buffer))
            break;  // a short read of a procfs file is its end
    }
    ::close(fd);
    return data.left(limit);
}

// The text of a symbolic link, as bytes; none for a link that cannot be read.
std::optional<QByteArray> linkText(int dirfd, const char* name)
{
    char buffer[4096];
    const ssize_t length = ::readlinkat(dirfd, name, buffer, sizeof buffer);
    if (length < 1 || length == ssize_t(sizeof buffer))
        return std::nullopt;
    return QByteArray(buffer, length);
}

QString withoutDeleted(QByteArray path)
{
    if (path.endsWith(" (deleted)"))
        path.chop(deletedSuffix.size());
    return QString::fromUtf8(path);
}

// The device of the file system a magic link of procfs (fd/N, cwd) stands for. No attribute is
// asked for and cached ones only: the device comes from the kernel's super block, and a hung
// FUSE or NFS server is never asked.
std::optional<quint64> deviceOfLink(int dirfd, const char* name)
{
    struct statx info {};
    if (::statx(dirfd, name, AT_STATX_DONT_SYNC | AT_NO_AUTOMOUNT, 0, &info) != 0)
        return std::nullopt;
    return quint64(makedev(info.stx_dev_major, info.stx_dev_minor));
}

// The file a magic link stands for when it lies on one of `devices`. Sockets, pipes and
// anonymous inodes (texts without a leading '/') are none.
std::optional<ProcessTable::FileRef> fileOfLink(int dirfd, const char* name, const QSet<quint64>& devices)
{
    const auto device = deviceOfLink(dirfd, name);
    if (!device || !devices.contains(*device))
        return std::nullopt;
    const auto target = linkText(dirfd, name);
    if (!target || !target->startsWith('/'))
        return std::nullopt;
    return ProcessTable::FileRef{withoutDeleted(*target), *device};
}

// Calls `entry` with the name of every entry of a directory but "." and "..", read with
// getdents64 alone: nothing is stat'ed on the way, as a directory listing might.
template<typename Entry>
void forEachEntry(int dirfd, Entry&& entry)
{
    alignas(dirent64) char buffer[32 * 1024];
    for (;;) {
        const ssize_t got = ::getdents64(dirfd, buffer, sizeof buffer);
        if (got <= 0)
            return;
        for (ssize_t offset = 0; offset < got;) {
            const auto* record = reinterpret_cast<const dirent64*>(buffer + offset);
            offset += record->d_reclen;
            const char* name = record->d_name;
            if (name[0] != '.')
                entry(name);
        }
        // procfs fills the buffer as far as its entries go: room left means none are left.
        if (got < ssize_t(sizeof buffer) - 1024)
            return;
    }
}

// Owns a descriptor for the length of a scope.
class Descriptor {
public:
    explicit Descriptor(int fd) : m_fd(fd) {}
    ~Descriptor()
    {
        if (m_fd >= 0)
            ::close(m_fd);
    }
    Descriptor(const Descriptor&) = delete;
    Descriptor& operator=(const Descriptor&) = delete;
    int get() const { return m_fd; }
    bool isValid() const { return m_fd >= 0; }

private:
    int m_fd;
};

// Parses one line of `maps`: "address perms offset major:minor inode path"; the path is the rest
// of the line and may hold spaces. None for anonymous regions and malformed lines.
std::optional<ProcessTable::FileRef> mappedRegion(const QByteArray& line)
{
    // The path starts at the first '/': no earlier field holds one.
    const qsizetype slash = line.indexOf('/');
    if (slash < 0)
        return std::nullopt;
    const QList<QByteArray> fields = line.left(slash).simplified().split(' ');
    if (fields.size() != 5 || fields[4] == "0")
        return std::nullopt;
    const QList<QByteArray> device = fields[3].split(':');
    bool majorOk = false, minorOk = false;
    const uint major = device.value(0).toUInt(&majorOk, 16);
    const uint minor = device.value(1).toUInt(&minorOk, 16);
    if (device.size() != 2 || !majorOk || !minorOk)
        return std::nullopt;
    return ProcessTable::FileRef{withoutDeleted(line.mid(slash)), quint64(makedev(major, minor))};
}

} // namespace

ProcfsProcessTable::ProcfsProcessTable(QString procRoot, uid_t uid) : m_root(QFile::encodeName(procRoot)), m_uid(uid) {}

uid_t ProcfsProcessTable::currentUid()
{
    return ::getuid();
}

QByteArray ProcfsProcessTable::path(qint32 pid, const char* entry) const
{
    return m_root + '/' + QByteArray::number(pid) + '/' + entry;
}

std::optional<uid_t> ProcfsProcessTable::owner(qint32 pid) const
{
    const QByteArray status = readFile(path(pid, "status").constData());
    qsizetype line = status.startsWith("Uid:") ? 0 : status.indexOf("\nUid:");
    if (line < 0)
        return std::nullopt;
    line += status[line] == '\n' ? 5 : 4;
    const QByteArray fields = status.mid(line, status.indexOf('\n', line) - line).simplified();
    bool ok = false;
    const uint uid = fields.left(fields.indexOf(' ')).toUInt(&ok);
    return ok ? std::optional<uid_t>(uid) : std::nullopt;
}

QList<qint32> ProcfsProcessTable::userProcesses() const
{
    QList<qint32> pids;
    const Descriptor root(::open(m_root.constData(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (!root.isValid())
        return pids;
    forEachEntry(root.get(), [&](const char* name) {
        bool ok = false;
        const int pid = QByteArray::fromRawData(name, qsizetype(strlen(name))).toInt(&ok);
        if (ok && pid >= 1 && owner(pid) == m_uid)
            pids.append(pid);
    });
    std::sort(pids.begin(), pids.end());
    return pids;
}

std::optional<QString> ProcfsProcessTable::executablePath(qint32 pid) const
{
    const auto text = linkText(AT_FDCWD, path(pid, "exe").constData());
    if (!text)
        return std::nullopt;
    return withoutDeleted(*text);
}

std::optional<QString> ProcfsProcessTable::commandName(qint32 pid) const
{
    QByteArray comm = readFile(path(pid, "comm").constData(), 64);
    if (comm.endsWith('\n'))
        comm.chop(1);
    if (comm.isEmpty())
        return std::nullopt;
    return QString::fromUtf8(comm);
}

std::optional<QList<QByteArray>> ProcfsProcessTable::statFields(qint32 pid) const
{
    const QByteArray stat = readFile(path(pid, "stat").constData(), 4096);
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

ProcessTable::Holdings ProcfsProcessTable::holdings(qint32 pid, const QSet<quint64>& devices) const
{
    Holdings holdings;
    const Descriptor process(::open((m_root + '/' + QByteArray::number(pid)).constData(), O_PATH | O_DIRECTORY | O_CLOEXEC));
    if (!process.isValid())
        return holdings;
    if (const auto text = linkText(process.get(), "exe"))
        holdings.executablePath = withoutDeleted(*text);
    holdings.workingDirectory = fileOfLink(process.get(), "cwd", devices);

    const Descriptor fds(::openat(process.get(), "fd", O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (!fds.isValid())
        return holdings;
    QList<std::pair<int, FileRef>> numbered;
    forEachEntry(fds.get(), [&](const char* name) {
        if (auto file = fileOfLink(fds.get(), name, devices))
            numbered.append({atoi(name), std::move(*file)});
    });
    std::sort(numbered.begin(), numbered.end(), [](const auto& a, const auto& b) { return a.first < b.first; });
    holdings.openFiles.reserve(numbered.size());
    for (auto& [fd, file] : numbered)
        holdings.openFiles.append(std::move(file));
    return holdings;
}

QList<ProcessTable::FileRef> ProcfsProcessTable::mappedFiles(qint32 pid, int limit) const
{
    QList<FileRef> regions;
    const QByteArray maps = readFile(path(pid, "maps").constData(), 64 * 1024 * 1024);
    qsizetype start = 0;
    for (int count = 0; count < limit && start < maps.size(); ++count) {
        qsizetype end = maps.indexOf('\n', start);
        if (end < 0)
            end = maps.size();
        if (auto region = mappedRegion(maps.mid(start, end - start)))
            regions.append(std::move(*region));
        start = end + 1;
    }
    return regions;
}

} // namespace mallowby
