#pragma once

#include <QList>
#include <QSet>
#include <QString>

#include <optional>

namespace mallowby {

// What the blocker scan reads about processes. Every query may fail (the process may be gone)
// and must never wait on a file system: paths and device numbers come from the kernel's records.
class ProcessTable {
public:
    // A file a process uses, with the device of the file system it lies on.
    struct FileRef {
        QString path;
        quint64 device = 0;

        bool operator==(const FileRef&) const = default;
    };

    // What may tie a process to some file systems, read in one visit of the process.
    struct Holdings {
        std::optional<QString> executablePath;
        QList<FileRef> openFiles;  // in descriptor order
        std::optional<FileRef> workingDirectory;
    };

    virtual ~ProcessTable() = default;

    // The processes of the current user, in ascending pid order.
    virtual QList<qint32> userProcesses() const = 0;
    virtual std::optional<QString> executablePath(qint32 pid) const = 0;
    // The short command name.
    virtual std::optional<QString> commandName(qint32 pid) const = 0;
    virtual std::optional<qint32> parent(qint32 pid) const = 0;
    // When the process started, in clock ticks since boot: a pid with another start time now
    // belongs to a later process.
    virtual std::optional<quint64> startTime(qint32 pid) const = 0;
    // The executable, and the open files and working directory that lie on one of `devices`.
    virtual Holdings holdings(qint32 pid, const QSet<quint64>& devices) const = 0;
    // File-backed memory regions, in address order, at most `limit` of them.
    virtual QList<FileRef> mappedFiles(qint32 pid, int limit) const = 0;
};

} // namespace mallowby
