#pragma once

#include "Platform/ProcessTable.h"

#include <sys/types.h>

namespace mallowby {

// Processes from procfs. Device numbers come from statx of the magic links with
// AT_STATX_DONT_SYNC | AT_NO_AUTOMOUNT (cached attributes, never a request to a file system
// server) and from the device field of `maps`; no file of a target is ever opened.
class ProcfsProcessTable final : public ProcessTable {
public:
    explicit ProcfsProcessTable(QString procRoot = QStringLiteral("/proc"), uid_t uid = currentUid());

    QList<qint32> userProcesses() const override;
    std::optional<QString> executablePath(qint32 pid) const override;
    std::optional<QString> commandName(qint32 pid) const override;
    std::optional<qint32> parent(qint32 pid) const override;
    QList<FileRef> openFiles(qint32 pid) const override;
    std::optional<FileRef> workingDirectory(qint32 pid) const override;
    QList<FileRef> mappedFiles(qint32 pid, int limit) const override;

    // The start time of a process in clock ticks since boot (field 22 of stat), to tell a pid
    // apart from a later process that reuses it.
    std::optional<quint64> startTime(qint32 pid) const;
    // The real user id of a process.
    std::optional<uid_t> owner(qint32 pid) const;

    static uid_t currentUid();

private:
    QString path(qint32 pid, const char* entry) const;
    std::optional<QString> link(const QString& path) const;
    std::optional<FileRef> fileOfLink(const QString& path) const;
    // The fields of stat after the command name (the first is the state, field 3).
    std::optional<QList<QByteArray>> statFields(qint32 pid) const;

    QString m_root;
    uid_t m_uid;
};

} // namespace mallowby
