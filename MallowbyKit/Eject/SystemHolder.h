#pragma once

#include <QStringList>

namespace mallowby {

// Something other than one of the user's processes that keeps the target busy: a mount, a swap
// area, a device stacked on it, an export, or other users' processes. None can be stopped from
// here; each says what it is and what can be done.
struct SystemHolder {
    enum class Kind {
        mountNamespace,  // mounted in another mount namespace (a sandbox, a service, a container)
        submount,        // a file system mounted inside one of the target's mount points
        bindMount,       // a folder of the target mounted elsewhere
        swap,            // a swap file or partition on the target
        stackedDevice,   // a device-mapper target or md array on the target's disks
        nfsExport,       // a path on the target exported over NFS
        otherUsers,      // other users' processes found holding it
        otherUsersUnread // other users' processes whose files cannot be read
    };

    Kind kind = Kind::submount;
    QString subject{};  // the mount point, path, device or namespace it is about
    QStringList users{};  // who: processes as "name (pid)", a unit, a device's own users
    bool keepsAlive = false;  // mountNamespace: a private copy outlives the unmount
    qint64 count = 0;         // other users: how many processes

    bool operator==(const SystemHolder&) const = default;

    QString title() const;
    // What it is.
    QString subtitle() const;
    // What can be done, empty when nothing can.
    QString remedy() const;
    // "KIND SUBJECT [USERS]", one line of the inspect output and the diagnostics report.
    QString summary() const;
};

} // namespace mallowby
