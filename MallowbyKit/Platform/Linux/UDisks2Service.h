#pragma once

#include "Platform/DiskService.h"

#include <QDBusConnection>
#include <QDBusObjectPath>
#include <QMap>
#include <QVariantMap>

#include <chrono>
#include <functional>

namespace mallowby {

// Unmount, deactivate, lock, stop and eject through udisks2 on the system bus (async calls only,
// interactive authorization allowed, so a polkit agent may ask the user). Those requests carry no
// time limit: an unmount writes out the cache first, which on a slow stick takes minutes. One that
// gets no reply at all (the bus gave up on it) is awaited by watching its device: it is done when
// the device is released by its file system and holders, or gone. Network shares
// through `fusermount3 -u` or `umount`, started with an argument list. Errors become dissents:
// DeviceBusy or a failure caused by EBUSY → busy, NotAuthorized* → not permitted with its text, an unknown device → not
// found, udisks2 missing → "udisks2 is not available", anything else → its message.
class UDisks2Service final : public DiskService {
public:
    using Interfaces = QMap<QString, QVariantMap>;
    using ManagedObjects = QMap<QDBusObjectPath, Interfaces>;

    // What a device has become, as a request that got no reply is watched.
    enum class DeviceState { held, released, gone };
    using DeviceProbe = std::function<DeviceState(const QString& bsdName)>;

    explicit UDisks2Service(QDBusConnection bus = QDBusConnection::systemBus(), DeviceProbe probe = probeDevice,
                            std::chrono::milliseconds shareLimit = std::chrono::minutes(2));

    // /dev/NAME: gone without its sysfs entry, held while an exclusive open is refused as busy.
    // It may wait on the device: never call it on the main thread.
    static DeviceState probeDevice(const QString& bsdName);

    QCoro::Task<std::optional<Dissent>> unmountDisk(QString bsdName, bool force) override;
    QCoro::Task<std::optional<Dissent>> ejectDisk(QString bsdName) override;
    QCoro::Task<std::optional<Dissent>> unmountShare(VolumeStore::Mount mount, bool force) override;
    QCoro::Task<bool> isReleased(QString bsdName) override;

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
    // A request acting on /dev/DEVICE; `until` is what the device becomes once it is done.
    QCoro::Task<std::optional<Dissent>> call(QString path, QString interface, QString method, QVariantMap options,
                                             QString device, DeviceState until);
    QCoro::Task<DeviceState> probe(QString device) const;
    // Until the device reaches the state (gone counts as released), probing off this thread.
    QCoro::Task<> waitFor(QString device, DeviceState state);
    QCoro::Task<std::optional<Dissent>> deleteLoop(QString bsdName, QString loop);
    QCoro::Task<> enableLvm();

    QDBusConnection m_bus;
    DeviceProbe m_probe;
    std::chrono::milliseconds m_shareLimit;
    bool m_lvmEnabled = false;
};

} // namespace mallowby

Q_DECLARE_METATYPE(mallowby::UDisks2Service::Interfaces)
Q_DECLARE_METATYPE(mallowby::UDisks2Service::ManagedObjects)
