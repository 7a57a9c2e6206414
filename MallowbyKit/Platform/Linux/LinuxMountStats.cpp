#include "Platform/Linux/LinuxMountStats.h"

#include "Support/FilePath.h"

#include <QFile>

#include <charconv>

namespace mallowby {

namespace {

// The mount point of a "device X mounted on PATH with fstype T …" line; none for other lines.
std::optional<QString> mountPoint(QByteArrayView line)
{
    if (!line.startsWith("device "))
        return std::nullopt;
    const qsizetype on = line.indexOf(" mounted on ");
    if (on < 0)
        return std::nullopt;
    const qsizetype start = on + qsizetype(sizeof(" mounted on ") - 1);
    const qsizetype with = line.indexOf(" with fstype ", start);
    if (with < 0)
        return std::nullopt;
    return FilePath::fromKernel(line.sliced(start, with - start));
}

// The sixth number of a "bytes:" line: the bytes the client wrote to the server.
std::optional<quint64> serverWriteBytes(QByteArrayView line)
{
    constexpr int wanted = 6;
    const char* p = line.data() + line.indexOf(':') + 1;
    const char* const end = line.data() + line.size();
    quint64 value = 0;
    for (int field = 0; field < wanted; ++field) {
        while (p < end && (*p == ' ' || *p == '\t'))
            ++p;
        const auto [next, error] = std::from_chars(p, end, value);
        if (error != std::errc())
            return std::nullopt;
        p = next;
    }
    return value;
}

} // namespace

LinuxMountStats::LinuxMountStats(QString path) : m_path(std::move(path)) {}

std::optional<quint64> LinuxMountStats::bytesWritten(const QString& mountPath) const
{
    QFile file(m_path);
    if (!file.open(QIODevice::ReadOnly))
        return std::nullopt;
    return parseBytesWritten(file.readAll(), mountPath);
}

std::optional<quint64> LinuxMountStats::parseBytesWritten(QByteArrayView text, const QString& mountPath)
{
    bool inMount = false;
    std::optional<quint64> found;
    for (const QByteArray& line : text.toByteArray().split('\n')) {
        if (const auto point = mountPoint(line)) {
            // The last mount on a path is the one in use.
            inMount = *point == mountPath;
            if (inMount)
                found.reset();
            continue;
        }
        if (inMount && line.trimmed().startsWith("bytes:"))
            found = serverWriteBytes(line);
    }
    return found;
}

} // namespace mallowby
