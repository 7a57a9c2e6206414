#pragma once

#include "Platform/DiskService.h"

#include <QDBusConnection>
#include <QDBusObjectPath>
#include <QMap>
#include <QVariantMap>

namespace mallowby {

// Unmount, deactivate, lock, stop and eject through udisks2 on the system bus (async calls only,
// interactive authorization allowed, so a polkit agent may ask the user); network shares
// through `fusermount3 -u` or `umount`, started with an argument list. Errors become dissents:
// DeviceBusy or a failure caused by EBUSY → busy, NotAuthorized* → not permitted with its text, an unknown device → not
// found, udisks2 missing → "udisks2 is not available", anything else → its message.
class UDisks2Service final : public DiskService {
public:
    using Interfaces = QMap<QString, QVariantMap>;
    using ManagedObjects = QMap<QDBusObjectPath, Interfaces>;

    explicit UDisks2Service(QDBusConnection bus = QDBusConnection::systemBus());

    QCoro::Task<std::optional<Dissent>> unmountDisk(QString bsdName, bool force) override;
    QCoro::Task<std::optional<Dissent>> ejectDisk(QString bsdName) override;
    QCoro::Task<std::optional<Dissent>> unmountShare(VolumeStore::Mount mount, bool force) override;

    // The dissent for a D-Bus error reply.
    static Dissent dissentOf(const QString& errorName, const QString& message);
    // The dissent for a failed unmount command, from its error output.
    static Dissent dissentOfCommand(const QString& errorOutput);

private:
    // udisks2's objects and the one of /dev/NAME, or why there is none.
    struct Found {
        ManagedObjects objects;
        QString disk;
        std::optional<Dissent> refusal;
    };

    QCoro::Task<std::optional<ManagedObjects>> managedObjects();
    QCoro::Task<Found> find(QString bsdName);
    QCoro::Task<std::optional<Dissent>> call(QString path, QString interface, QString method, QVariantMap options);
    QCoro::Task<std::optional<Dissent>> deleteLoop(QString bsdName, QString loop);
    QCoro::Task<> enableLvm();

    QDBusConnection m_bus;
    bool m_lvmEnabled = false;
};

} // namespace mallowby

Q_DECLARE_METATYPE(mallowby::UDisks2Service::Interfaces)
Q_DECLARE_METATYPE(mallowby::UDisks2Service::ManagedObjects)
