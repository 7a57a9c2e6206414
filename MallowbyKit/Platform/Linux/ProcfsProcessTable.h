#pragma once

#include "Platform/ProcessTable.h"

#include <QByteArray>

#include <sys/types.h>

namespace mallowby {

// Processes from procfs. Paths are link texts as the kernel writes them; device numbers come
// and mount ids from statx of the magic links with AT_STATX_DONT_SYNC | AT_NO_AUTOMOUNT (the
// kernel fills them in from its own records, never asking a file system server) and from the
// device field of `maps`. No path on a target is ever looked up and
// no file of a target is ever opened. A process is visited through one descriptor of its
// directory, and a link's text is read only for a file on a device asked about.
class ProcfsProcessTable final : public ProcessTable {
public:
    explicit ProcfsProcessTable(QString procRoot = QStringLiteral("/proc"), uid_t uid = currentUid());

    QList<Listed> processes() const override;
    std::optional<QString> executablePath(qint32 pid) const override;
    std::optional<QString> commandName(qint32 pid) const override;
    std::optional<qint32> parent(qint32 pid) const override;
    std::optional<quint64> startTime(qint32 pid) const override;
    Holdings holdings(qint32 pid, const Mounts& mounts) const override;
    QList<FileRef> mappedFiles(qint32 pid, const QSet<quint64>& devices, int limit) const override;
    std::optional<QString> mountNamespace(qint32 pid) const override;
    QList<MountEntry> mounts(qint32 pid) const override;
    std::optional<QString> unit(qint32 pid) const override;

    // Parses a mountinfo text.
    static QList<MountEntry> parseMountInfo(const QByteArray& text);

    static uid_t currentUid();

private:
    QByteArray path(qint32 pid, const char* entry) const;
    // The fields of stat after the command name (the first is the state, field 3).
    std::optional<QList<QByteArray>> statFields(qint32 pid) const;

    QByteArray m_root;
    uid_t m_uid;
};

} // namespace mallowby
