#include "Platform/Linux/LinuxMeminfo.h"

#include <QFile>

#include <charconv>
#include <limits>

namespace mallowby {

namespace {

// The value of a "Name:   1234 kB" line in bytes; none when the line is missing or malformed.
std::optional<quint64> field(QByteArrayView text, QByteArrayView name)
{
    for (const QByteArray& line : text.toByteArray().split('\n')) {
        if (!line.startsWith(name) || line.size() <= name.size() || line[name.size()] != ':')
            continue;
        const QByteArrayView rest = QByteArrayView(line).sliced(name.size() + 1).trimmed();
        quint64 value = 0;
        const auto [ptr, error] = std::from_chars(rest.data(), rest.data() + rest.size(), value);
        if (error != std::errc() || ptr == rest.data())
            return std::nullopt;
        const QByteArrayView unit = QByteArrayView(ptr, rest.data() + rest.size() - ptr).trimmed();
        if (unit.isEmpty())
            return value;
        if (unit != "kB" || value > std::numeric_limits<quint64>::max() / 1024)
            return std::nullopt;
        return value * 1024;
    }
    return std::nullopt;
}

} // namespace

LinuxMeminfo::LinuxMeminfo(QString path) : m_path(std::move(path)) {}

std::optional<quint64> LinuxMeminfo::pendingWrites() const
{
    QFile file(m_path);
    if (!file.open(QIODevice::ReadOnly))
        return std::nullopt;
    // procfs reports a size of 0: read until the end.
    return parsePendingWrites(file.readAll());
}

std::optional<quint64> LinuxMeminfo::parsePendingWrites(QByteArrayView text)
{
    const auto dirty = field(text, "Dirty");
    const auto writeback = field(text, "Writeback");
    if (!dirty || !writeback)
        return std::nullopt;
    return *dirty + *writeback;
}

} // namespace mallowby
