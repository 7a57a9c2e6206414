#include "Platform/Linux/ProcfsProcessTable.h"

#include "Support/FilePath.h"

#include <QFile>

#include <algorithm>
#include <cerrno>
#include <charconv>
#include <cstring>

#include <fcntl.h>
#include <dirent.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

namespace mallowby {

namespace {

constexpr QLatin1String deletedSuffix(" (deleted)");

// A procfs file, whole, read until a read returns nothing: a seq_file answers every read short,
// one page or so at a time. At most `limit` bytes.
QByteArray readAll(int fd, qsizetype limit)
{
    QByteArray data;
    if (fd < 0)
        return data;
    qsizetype size = 0;
    data.resize(std::min<qsizetype>(4096, limit));
    while (size < limit) {
        if (size == data.size())
            data.resize(std::min(data.size() * 2, limit));
        const ssize_t got = ::read(fd, data.data() + size, size_t(data.size() - size));
        if (got <= 0)
            break;
        size += got;
    }
    ::close(fd);
    data.resize(size);
    return data;
}

QByteArray readFile(const char* path, qsizetype limit = 1024 * 1024)
{
    return readAll(::open(path, O_RDONLY | O_CLOEXEC), limit);
}

QByteArray readFileAt(int dirfd, const char* name, qsizetype limit = 1024 * 1024)
{
    return readAll(::openat(dirfd, name, O_RDONLY | O_CLOEXEC), limit);
}

} // namespace

namespace {

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
    return FilePath::decode(path);
}

// The file a magic link of procfs (fd/N, cwd, root, exe) stands for, its device and mount id.
// No attribute is asked for and cached ones only: both come from the kernel's records, and a
// hung FUSE or NFS server is never asked.
std::optional<ProcessTable::FileRef> statLink(int dirfd, const char* name)
{
    struct statx info {};
    if (::statx(dirfd, name, AT_STATX_DONT_SYNC | AT_NO_AUTOMOUNT, STATX_MNT_ID, &info) != 0)
        return std::nullopt;
    ProcessTable::FileRef file{{}, quint64(makedev(info.stx_dev_major, info.stx_dev_minor)), std::nullopt};
    if (info.stx_mask & STATX_MNT_ID)
        file.mountID = info.stx_mnt_id;
    return file;
}

// The file a magic link stands for when it lies on `mounts`. Sockets, pipes and anonymous
// inodes (texts without a leading '/') are none.
std::optional<ProcessTable::FileRef> fileOfLink(int dirfd, const char* name, const ProcessTable::Mounts& mounts)
{
    auto file = statLink(dirfd, name);
    if (!file || !mounts.contains(*file))
        return std::nullopt;
    const auto target = linkText(dirfd, name);
    if (!target || !target->startsWith('/'))
        return std::nullopt;
    file->path = withoutDeleted(*target);
    return file;
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

// Parses the device field ("major:minor", hexadecimal) of a `maps` line.
std::optional<quint64> parseDevice(const char* field, const char* end)
{
    const char* colon = static_cast<const char*>(memchr(field, ':', size_t(end - field)));
    if (!colon)
        return std::nullopt;
    uint major = 0, minor = 0;
    const auto a = std::from_chars(field, colon, major, 16);
    const auto b = std::from_chars(colon + 1, end, minor, 16);
    if (a.ptr != colon || a.ec != std::errc() || b.ptr != end || b.ec != std::errc())
        return std::nullopt;
    return quint64(makedev(major, minor));
}

// One line of `maps`: "address perms offset major:minor inode path"; the path is the rest of
// the line and may hold spaces. A region on one of `devices`, none for anonymous regions, other
// devices and malformed lines. Only the device field is parsed before the device is known.
std::optional<ProcessTable::FileRef> mappedRegion(const char* line, const char* end, const QSet<quint64>& devices)
{
    const char* field = line;
    for (int skip = 0; skip < 3; ++skip) {
        field = static_cast<const char*>(memchr(field, ' ', size_t(end - field)));
        if (!field)
            return std::nullopt;
        ++field;
    }
    const char* fieldEnd = static_cast<const char*>(memchr(field, ' ', size_t(end - field)));
    if (!fieldEnd)
        return std::nullopt;
    const auto device = parseDevice(field, fieldEnd);
    if (!device || !devices.contains(*device))
        return std::nullopt;
    const char* slash = static_cast<const char*>(memchr(fieldEnd, '/', size_t(end - fieldEnd)));
    const char* inode = fieldEnd + 1;
    if (!slash || (*inode == '0' && inode[1] == ' '))
        return std::nullopt;
    return ProcessTable::FileRef{withoutDeleted(QByteArray(slash, end - slash)), *device, std::nullopt};
}

} // namespace

ProcfsProcessTable::ProcfsProcessTable(QString procRoot, uid_t uid) : m_root(QFile::encodeName(procRoot)), m_uid(uid) {}

uid_t ProcfsProcessTable::currentUid()
{
    return ::getuid();
}

QByteArray ProcfsProcessTable::path(qint32 pid, const char* entry) const
{
    return m_root + '/' + (pid == 0 ? QByteArray("self") : QByteArray::number(pid)) + '/' + entry;
}

QList<ProcessTable::Listed> ProcfsProcessTable::processes() const
{
    QList<Listed> listed;
    const Descriptor root(::open(m_root.constData(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (!root.isValid())
        return listed;
    forEachEntry(root.get(), [&](const char* name) {
        bool ok = false;
        const int pid = QByteArray::fromRawData(name, qsizetype(strlen(name))).toInt(&ok);
        if (!ok || pid < 1)
            return;
        // The owner of the process's directory is its effective user: one stat, where the
        // status file would make the kernel gather the process's memory figures.
        struct stat info {};
        if (::fstatat(root.get(), name, &info, AT_SYMLINK_NOFOLLOW) == 0)
            listed.append({pid, info.st_uid == m_uid});
    });
    std::sort(listed.begin(), listed.end(), [](const Listed& a, const Listed& b) { return a.pid < b.pid; });
    return listed;
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

namespace {

// The fields of a stat text after the command name, which may hold spaces and parentheses: they
// start after the last ')'.
std::optional<QList<QByteArray>> fieldsOfStat(const QByteArray& stat)
{
    const qsizetype close = stat.lastIndexOf(')');
    if (close < 0)
        return std::nullopt;
    return stat.mid(close + 1).simplified().split(' ');
}

std::optional<quint64> startTimeOf(const std::optional<QList<QByteArray>>& fields)
{
    if (!fields || fields->size() < 20)
        return std::nullopt;
    bool ok = false;
    const quint64 ticks = fields->at(19).toULongLong(&ok);  // field 22
    return ok ? std::optional<quint64>(ticks) : std::nullopt;
}

} // namespace

std::optional<QList<QByteArray>> ProcfsProcessTable::statFields(qint32 pid) const
{
    return fieldsOfStat(readFile(path(pid, "stat").constData(), 4096));
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
    return startTimeOf(statFields(pid));
}

ProcessTable::Holdings ProcfsProcessTable::holdings(qint32 pid, const Mounts& mounts) const
{
    Holdings holdings;
    const Descriptor process(::open((m_root + '/' + QByteArray::number(pid)).constData(), O_PATH | O_DIRECTORY | O_CLOEXEC));
    if (!process.isValid())
        return holdings;
    const auto exe = statLink(process.get(), "exe");
    // A kernel thread (or a zombie) has no program, and no files or folders of its own.
    if (!exe && errno == ENOENT)
        return holdings;
    holdings.executableThere = exe && mounts.contains(*exe);
    holdings.workingDirectory = fileOfLink(process.get(), "cwd", mounts);
    holdings.rootDirectory = fileOfLink(process.get(), "root", mounts);

    const Descriptor fds(::openat(process.get(), "fd", O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (!fds.isValid()) {
        holdings.readable = errno != EACCES && errno != EPERM;
        return holdings;
    }
    QList<std::pair<int, FileRef>> numbered;
    forEachEntry(fds.get(), [&](const char* name) {
        if (auto file = fileOfLink(fds.get(), name, mounts))
            numbered.append({atoi(name), std::move(*file)});
    });
    std::sort(numbered.begin(), numbered.end(), [](const auto& a, const auto& b) { return a.first < b.first; });
    holdings.openFiles.reserve(numbered.size());
    for (auto& [fd, file] : numbered)
        holdings.openFiles.append(std::move(file));
    // The program's path names a holder, and says whether it lies there when its file could not be
    // looked at. Through the same directory: a descriptor of it keeps naming this process, so a pid
    // reused meanwhile gives no start time rather than another process's.
    const bool holds =
        holdings.executableThere || holdings.workingDirectory || holdings.rootDirectory || !holdings.openFiles.isEmpty();
    if (holds || !exe)
        if (const auto text = linkText(process.get(), "exe"))
            holdings.executablePath = withoutDeleted(*text);
    if (holds)
        holdings.startTime = startTimeOf(fieldsOfStat(readFileAt(process.get(), "stat", 4096)));
    return holdings;
}

QList<ProcessTable::FileRef> ProcfsProcessTable::mappedFiles(qint32 pid, const QSet<quint64>& devices, int limit) const
{
    QList<FileRef> regions;
    // A browser's maps run to megabytes.
    const QByteArray maps = readFile(path(pid, "maps").constData(), 64 * 1024 * 1024);
    const char* at = maps.constData();
    const char* const end = at + maps.size();
    for (int count = 0; count < limit && at < end; ++count) {
        const char* lineEnd = static_cast<const char*>(memchr(at, '\n', size_t(end - at)));
        if (!lineEnd)
            lineEnd = end;
        if (auto region = mappedRegion(at, lineEnd, devices))
            regions.append(std::move(*region));
        at = lineEnd + 1;
    }
    return regions;
}

std::optional<QString> ProcfsProcessTable::mountNamespace(qint32 pid) const
{
    const auto text = linkText(AT_FDCWD, path(pid, "ns/mnt").constData());
    return text ? std::optional<QString>(QString::fromLatin1(*text)) : std::nullopt;
}

QList<ProcessTable::MountEntry> ProcfsProcessTable::mounts(qint32 pid) const
{
    return parseMountInfo(readFile(path(pid, "mountinfo").constData(), 16 * 1024 * 1024));
}

QList<ProcessTable::MountEntry> ProcfsProcessTable::parseMountInfo(const QByteArray& text)
{
    // "ID PARENT MAJOR:MINOR ROOT MOUNTPOINT OPTIONS [OPTIONAL…] - TYPE SOURCE SUPEROPTIONS"
    QList<MountEntry> entries;
    for (const QByteArray& line : text.split('\n')) {
        const QList<QByteArray> fields = line.split(' ');
        const qsizetype dash = fields.indexOf("-");
        if (fields.size() < 6 || dash < 6 || dash + 2 >= fields.size())
            continue;
        const QList<QByteArray> device = fields[2].split(':');
        bool idOk = false, majorOk = false, minorOk = false;
        MountEntry entry;
        entry.id = fields[0].toULongLong(&idOk);
        const uint major = device.value(0).toUInt(&majorOk), minor = device.value(1).toUInt(&minorOk);
        if (!idOk || !majorOk || !minorOk || device.size() != 2)
            continue;
        entry.device = makedev(major, minor);
        entry.root = FilePath::fromKernel(fields[3]);
        entry.mountPoint = FilePath::fromKernel(fields[4]);
        for (qsizetype i = 6; i < dash; ++i)
            entry.propagates = entry.propagates || fields[i].startsWith("shared:") || fields[i].startsWith("master:");
        entry.type = QString::fromUtf8(fields[dash + 1]);
        entry.source = FilePath::fromKernel(fields[dash + 2]);
        entries.append(std::move(entry));
    }
    return entries;
}

std::optional<QString> ProcfsProcessTable::unit(qint32 pid) const
{
    // "0::/user.slice/user-1000.slice/user@1000.service/app.slice/app-foo.scope"
    for (const QByteArray& line : readFile(path(pid, "cgroup").constData(), 64 * 1024).split('\n')) {
        const QList<QByteArray> parts = line.mid(line.lastIndexOf(':') + 1).split('/');
        for (auto it = parts.crbegin(); it != parts.crend(); ++it)
            if (it->endsWith(".service") || it->endsWith(".scope"))
                return QString::fromUtf8(*it);
    }
    return std::nullopt;
}

} // namespace mallowby
