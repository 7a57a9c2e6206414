#pragma once

#include <QList>
#include <QSet>
#include <QString>

#include <optional>

namespace mallowby {

// What the blocker scan reads about processes. Every query may fail (the process may be gone)
// and must never wait on a file system: paths, devices and mounts come from the kernel's records.
class ProcessTable {
public:
    // A file a process uses, with the device of its file system's super block and, where the
    // kernel tells, the id of the mount it was reached through.
    struct FileRef {
        QString path;
        quint64 device = 0;
        std::optional<quint64> mountID{};

        bool operator==(const FileRef&) const = default;
    };

    // The file systems looked for: a file matches by the mount it was reached through (on btrfs
    // every subvolume has a device number of its own, which is not the super block's) or by its
    // super block's device (a mount in a namespace that could not be read).
    struct Mounts {
        QSet<quint64> devices;
        QSet<quint64> ids;

        bool contains(const FileRef& file) const
        {
            return (file.mountID && ids.contains(*file.mountID)) || devices.contains(file.device);
        }
    };

    // What may tie a process to some file systems, read in one visit of the process.
    struct Holdings {
        std::optional<quint64> startTime;  // of the process whose holdings these are, when it holds any
        std::optional<QString> executablePath;
        bool executableThere = false;  // the executable lies on one of the mounts
        QList<FileRef> openFiles;  // in descriptor order
        std::optional<FileRef> workingDirectory;
        std::optional<FileRef> rootDirectory;  // a chroot onto one of the mounts
        bool readable = true;  // false when the process's files cannot be read (another user's)
    };

    // One line of a mount table.
    struct MountEntry {
        quint64 id = 0;
        quint64 device = 0;  // the super block's
        QString mountPoint;
        QString root;  // the directory of the file system mounted here
        QString source;
        QString type;
        bool propagates = false;  // shared or a slave: an unmount elsewhere reaches it

        bool operator==(const MountEntry&) const = default;
    };

    struct Listed {
        qint32 pid = 0;
        bool ownUser = true;

        bool operator==(const Listed&) const = default;
    };

    virtual ~ProcessTable() = default;

    // Every process, in ascending pid order, telling the current user's from the others'.
    virtual QList<Listed> processes() const = 0;
    virtual std::optional<QString> executablePath(qint32 pid) const = 0;
    // The short command name.
    virtual std::optional<QString> commandName(qint32 pid) const = 0;
    virtual std::optional<qint32> parent(qint32 pid) const = 0;
    // When the process started, in clock ticks since boot: a pid with another start time now
    // belongs to a later process.
    virtual std::optional<quint64> startTime(qint32 pid) const = 0;
    // The executable, and the open files, working and root directory that lie on `mounts`.
    virtual Holdings holdings(qint32 pid, const Mounts& mounts) const = 0;
    // File-backed memory regions on `mounts`' devices, in address order; at most `limit`
    // regions are walked.
    virtual QList<FileRef> mappedFiles(qint32 pid, const QSet<quint64>& devices, int limit) const = 0;
    // The mount namespace a process lives in (an opaque name), none where it cannot be read; pid 0
    // is this process.
    virtual std::optional<QString> mountNamespace(qint32 pid) const = 0;
    // The mount table as a process sees it; pid 0 is this process.
    virtual QList<MountEntry> mounts(qint32 pid) const = 0;
    // The systemd unit (service or scope) a process runs in.
    virtual std::optional<QString> unit(qint32 pid) const = 0;
};

} // namespace mallowby
