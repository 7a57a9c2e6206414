#include "Eject/SystemHolder.h"

namespace mallowby {

namespace {

QString kindText(SystemHolder::Kind kind)
{
    switch (kind) {
    case SystemHolder::Kind::mountNamespace: return QStringLiteral("namespace");
    case SystemHolder::Kind::submount: return QStringLiteral("submount");
    case SystemHolder::Kind::bindMount: return QStringLiteral("bind-mount");
    case SystemHolder::Kind::swap: return QStringLiteral("swap");
    case SystemHolder::Kind::stackedDevice: return QStringLiteral("stacked-device");
    case SystemHolder::Kind::nfsExport: return QStringLiteral("nfs-export");
    case SystemHolder::Kind::otherUsers: return QStringLiteral("other-users");
    case SystemHolder::Kind::otherUsersUnread: return QStringLiteral("other-users-unread");
    }
    return {};
}

QString processes(qint64 count)
{
    return count == 1 ? QStringLiteral("1 process") : QStringLiteral("%1 processes").arg(count);
}

} // namespace

QString SystemHolder::title() const
{
    switch (kind) {
    case Kind::mountNamespace: return users.value(0, subject);
    case Kind::otherUsers: return processes(count) + QStringLiteral(" of other users ") + (count == 1 ? "is" : "are") + " using it";
    case Kind::otherUsersUnread: return processes(count) + QStringLiteral(" of other users may be using it");
    default: return subject;
    }
}

QString SystemHolder::subtitle() const
{
    const QString who = users.join(QStringLiteral(", "));
    switch (kind) {
    case Kind::mountNamespace:
        return QStringLiteral("Mounted in another mount namespace") + (users.size() > 1 ? QStringLiteral(": ") + who : QString());
    case Kind::submount: return QStringLiteral("Mounted inside the drive") + (who.isEmpty() ? QString() : QStringLiteral(" · ") + who);
    case Kind::bindMount: return QStringLiteral("A folder of the drive mounted here") + (who.isEmpty() ? QString() : QStringLiteral(" · ") + who);
    case Kind::swap: return QStringLiteral("Used as swap space");
    case Kind::stackedDevice: return QStringLiteral("Device stacked on the drive") + (who.isEmpty() ? QString() : QStringLiteral(" · used by ") + who);
    case Kind::nfsExport: return QStringLiteral("Shared over NFS");
    case Kind::otherUsers:
    case Kind::otherUsersUnread: return who;
    }
    return {};
}

QString SystemHolder::remedy() const
{
    switch (kind) {
    case Kind::mountNamespace:
        return keepsAlive ? QStringLiteral("A private copy: the unmount succeeds, but the drive stays in use until these processes end.")
                          : QStringLiteral("Goes with the unmount unless something in it is busy.");
    case Kind::submount:
    case Kind::bindMount: return QStringLiteral("Unmount it first; that may need an administrator.");
    case Kind::swap: return QStringLiteral("Turning it off (swapoff) needs an administrator.");
    case Kind::stackedDevice: return QStringLiteral("Removing it (dmsetup remove, mdadm --stop) needs an administrator.");
    case Kind::nfsExport: return QStringLiteral("Stopping the export (exportfs -u) needs an administrator.");
    case Kind::otherUsers:
    case Kind::otherUsersUnread: return QStringLiteral("They can't be stopped from here.");
    }
    return {};
}

QString SystemHolder::summary() const
{
    QStringList quoted;
    for (const QString& user : users)
        quoted.append(QLatin1Char('"') + user + QLatin1Char('"'));
    QString line = kindText(kind) + QLatin1Char(' ');
    if (kind == Kind::otherUsers || kind == Kind::otherUsersUnread)
        line += QString::number(count);
    else
        line += subject;
    if (kind == Kind::mountNamespace)
        line += keepsAlive ? QStringLiteral(" private") : QStringLiteral(" propagated");
    return line + QStringLiteral(" [") + quoted.join(QStringLiteral(", ")) + QLatin1Char(']');
}

} // namespace mallowby
