#pragma once

#include <QByteArrayView>
#include <QString>

#include <optional>

namespace mallowby {

// Per-mount statistics of network file systems (/proc/self/mountstats, path injectable): NFS
// counts the bytes it has written to the server. procfs answers at once, so this may be read on
// the main thread.
class LinuxMountStats {
public:
    explicit LinuxMountStats(QString path = QStringLiteral("/proc/self/mountstats"));

    // Bytes written to the server by the share mounted at the path; none for a mount that keeps
    // no such count (anything but NFS) or that is not there.
    std::optional<quint64> bytesWritten(const QString& mountPath) const;

    static std::optional<quint64> parseBytesWritten(QByteArrayView text, const QString& mountPath);

private:
    QString m_path;
};

} // namespace mallowby
