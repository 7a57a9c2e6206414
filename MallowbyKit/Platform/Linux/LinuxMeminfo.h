#pragma once

#include <QByteArrayView>
#include <QString>

#include <optional>

namespace mallowby {

// The kernel's memory figures (/proc/meminfo, path injectable). procfs answers at once, so this
// may be read on the main thread.
class LinuxMeminfo {
public:
    explicit LinuxMeminfo(QString path = QStringLiteral("/proc/meminfo"));

    // Bytes the page cache still has to write to some device: Dirty plus Writeback. None when
    // the file cannot be read or lacks either line.
    std::optional<quint64> pendingWrites() const;

    static std::optional<quint64> parsePendingWrites(QByteArrayView text);

private:
    QString m_path;
};

} // namespace mallowby
