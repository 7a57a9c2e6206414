#include "Eject/DiskArbitrationClient.h"
#include "Platform/Linux/LinuxBlockRegistry.h"
#include "Platform/Linux/UDisks2Service.h"

#include "support/FakeVolumePlatform.h"
#include "support/SysfsTree.h"
#include "support/TestEnvironment.h"

#include <QDBusArgument>
#include <QDBusConnection>
#include <QDBusMessage>
#include <QDBusMetaType>
#include <QDBusVirtualObject>
#include <QProcess>

#include <gtest/gtest.h>

#include <atomic>

using namespace mallowby;
using namespace mallowby::test;

namespace {

const QString udisksPath = QStringLiteral("/org/freedesktop/UDisks2");
const QString prefix = QStringLiteral("org.freedesktop.UDisks2.");

QDBusObjectPath object(const QString& relative)
{
    return QDBusObjectPath(relative.isEmpty() ? QStringLiteral("/") : udisksPath + QLatin1Char('/') + relative);
}

// udisks2's object manager as a test scripts it: the objects of one layout, the requests made
// of it in order, refusals and what a request changes.
class ScriptedUDisks final : public QDBusVirtualObject {
public:
    struct Call {
        QString what;  // "block_devices/sdb1 Filesystem.Unmount"
        QVariantMap options;
        bool interactive = false;
    };

    UDisks2Service::ManagedObjects objects;
    QList<Call> calls;
    QHash<QString, std::pair<QString, QString>> refusals;  // what → error name, message
    QHash<QString, std::function<void()>> effects;         // what → change made by the request

    QString introspect(const QString&) const override { return {}; }

    bool handleMessage(const QDBusMessage& message, const QDBusConnection& connection) override
    {
        if (message.member() == QLatin1String("GetManagedObjects")) {
            connection.send(message.createReply(QVariant::fromValue(objects)));
            return true;
        }
        const QString what = message.path().mid(udisksPath.size() + 1) + QLatin1Char(' ')
                             + message.interface().mid(prefix.size()) + QLatin1Char('.') + message.member();
        const auto arguments = message.arguments();
        QVariantMap options;
        if (!arguments.isEmpty() && arguments.last().canConvert<QDBusArgument>())
            options = qdbus_cast<QVariantMap>(arguments.last().value<QDBusArgument>());
        calls.append({what, options, message.isInteractiveAuthorizationAllowed()});
        if (const auto refusal = refusals.constFind(what); refusal != refusals.cend()) {
            connection.send(message.createErrorReply(refusal->first, refusal->second));
            return true;
        }
        if (const auto effect = effects.value(what))
            effect();
        connection.send(message.createReply());
        return true;
    }

    QStringList requests() const
    {
        QStringList list;
        for (const Call& call : calls)
            list.append(call.what);
        return list;
    }

    // Layout helpers: the interfaces udisks2 shows for each kind of object.
    void block(const QString& name, const QString& drive = {}, QVariantMap more = {})
    {
        QVariantMap properties{{QStringLiteral("Device"), QByteArray("/dev/" + name.toUtf8() + '\0')},
                               {QStringLiteral("PreferredDevice"), QByteArray("/dev/" + name.toUtf8() + '\0')},
                               {QStringLiteral("Drive"), QVariant::fromValue(object(drive))},
                               {QStringLiteral("CryptoBackingDevice"), QVariant::fromValue(object({}))},
                               {QStringLiteral("MDRaid"), QVariant::fromValue(object({}))}};
        properties.insert(more);
        objects[object(path(name))][prefix + "Block"] = properties;
    }
    void partition(const QString& name, const QString& table)
    {
        objects[object(path(name))][prefix + "Partition"] = {{QStringLiteral("Table"), QVariant::fromValue(object(path(table)))}};
    }
    void filesystem(const QString& name, const QByteArrayList& mountPoints)
    {
        objects[object(path(name))][prefix + "Filesystem"] = {{QStringLiteral("MountPoints"), QVariant::fromValue(mountPoints)}};
    }
    void drive(const QString& relative, bool ejectable, bool canPowerOff)
    {
        objects[object(relative)][prefix + "Drive"] = {{QStringLiteral("Ejectable"), ejectable},
                                                       {QStringLiteral("CanPowerOff"), canPowerOff}};
    }
    void crypto(const QString& cleartext, const QString& backing)
    {
        objects[object(path(backing))][prefix + "Encrypted"] = {};
        objects[object(path(cleartext))][prefix + "Block"][QStringLiteral("CryptoBackingDevice")] = QVariant::fromValue(object(path(backing)));
    }
    void logicalVolume(const QString& name, const QString& volume)
    {
        objects[object(volume)][prefix + "LogicalVolume"] = {{QStringLiteral("Active"), true}};
        objects[object(path(name))][prefix + "Block.LVM2"] = {{QStringLiteral("LogicalVolume"), QVariant::fromValue(object(volume))}};
    }
    static QString path(const QString& name) { return QStringLiteral("block_devices/") + QString(name).replace('-', "_2d"); }
};

class UDisks2Sequence : public ::testing::Test {
protected:
    void SetUp() override
    {
        qDBusRegisterMetaType<QByteArrayList>();
        daemon.start(QStringLiteral("dbus-daemon"), {QStringLiteral("--session"), QStringLiteral("--nofork"), QStringLiteral("--print-address=1")});
        if (!daemon.waitForStarted(5000) || !daemon.waitForReadyRead(5000))
            GTEST_SKIP() << "dbus-daemon could not be started here";
        const QString address = QString::fromUtf8(daemon.readLine()).trimmed();
        QDBusConnection service = QDBusConnection::connectToBus(address, QStringLiteral("scripted-udisks"));
        ASSERT_TRUE(service.registerVirtualObject(udisksPath, &udisks, QDBusConnection::SubPath));
        ASSERT_TRUE(service.registerService(QStringLiteral("org.freedesktop.UDisks2")));
        bus = std::make_unique<QDBusConnection>(QDBusConnection::connectToBus(address, QStringLiteral("udisks-client")));
        ASSERT_TRUE(bus->isConnected());
    }

    void TearDown() override
    {
        bus.reset();
        QDBusConnection::disconnectFromBus(QStringLiteral("udisks-client"));
        QDBusConnection::disconnectFromBus(QStringLiteral("scripted-udisks"));
        daemon.kill();
        daemon.waitForFinished(5000);
    }

    // Ejects the drive of `member` over the sysfs tree and the mounts, through the scripted
    // udisks2; the outcome, or "hung" when none came.
    QString eject(const SysfsTree& sysfs, const QString& member, bool force = false)
    {
        const auto registry = std::make_shared<LinuxBlockRegistry>(Sysfs(sysfs.root()));
        DiskArbitrationClient client({table, registry, std::make_shared<UDisks2Service>(*bus, probe)});
        const EjectTarget target{member, member, VolumeKind::external, registry->members(member), std::nullopt};
        const auto failure = TestEnvironment::await(client.eject(target, force), std::chrono::seconds(10));
        if (!failure)
            return QStringLiteral("hung");
        return *failure ? (*failure)->summary() : QStringLiteral("ejected");
    }

    // Every request allows interactive authorization and says so in its options; `force` only
    // on unmounts, and only when asked.
    void expectOptions(bool force) const
    {
        for (const auto& call : udisks.calls) {
            if (call.what.startsWith(QLatin1String("Manager ")))
                continue;
            EXPECT_TRUE(call.interactive) << call.what.toStdString();
            EXPECT_EQ(call.options.value(QStringLiteral("auth.no_user_interaction")), QVariant(false)) << call.what.toStdString();
            const bool forced = call.options.value(QStringLiteral("force")).toBool();
            EXPECT_EQ(forced, force && call.what.endsWith(QLatin1String("Filesystem.Unmount"))) << call.what.toStdString();
        }
    }

    QProcess daemon;
    ScriptedUDisks udisks;
    UDisks2Service::DeviceProbe probe = UDisks2Service::probeDevice;
    std::unique_ptr<QDBusConnection> bus;
    std::shared_ptr<FakeVolumePlatform::Table> table = std::make_shared<FakeVolumePlatform::Table>();
};

} // namespace

TEST_F(UDisks2Sequence, LuksWithLvmInsideIsDeactivatedThenLockedThenPoweredOff)
{
    SysfsTree sysfs({QStringLiteral("usb-luks")});  // sdc1 → dm-0 (LUKS) → dm-1 (vgbackup-home)
    table->mounts = {FakeVolumePlatform::mount("/media/home", "/dev/dm-1")};
    udisks.drive("drives/WD_Elements", false, true);
    udisks.block("sdc", "drives/WD_Elements");
    udisks.block("sdc1", "drives/WD_Elements");
    udisks.partition("sdc1", "sdc");
    udisks.block("dm-0");
    udisks.crypto("dm-0", "sdc1");
    udisks.block("dm-1");
    udisks.filesystem("dm-1", {"/media/home"});
    udisks.logicalVolume("dm-1", "lvm/vgbackup/home");

    EXPECT_EQ(eject(sysfs, "sdc", true), "ejected");
    EXPECT_EQ(udisks.requests(), (QStringList{"Manager Manager.EnableModules", "block_devices/dm_2d1 Filesystem.Unmount",
                                              "lvm/vgbackup/home LogicalVolume.Deactivate", "block_devices/sdc1 Encrypted.Lock",
                                              "drives/WD_Elements Drive.PowerOff"}));
    expectOptions(true);

    // A volume still in use: the lock is refused as busy, and the disk keeps its power.
    udisks.calls.clear();
    udisks.refusals["block_devices/sdc1 Encrypted.Lock"] = {
        QStringLiteral("org.freedesktop.UDisks2.Error.Failed"),
        QStringLiteral("Error locking /dev/sdc1 (/dev/dm-0): Failed to deactivate device: Device or resource busy")};
    EXPECT_EQ(eject(sysfs, "sdc"), "busy");
    EXPECT_EQ(udisks.requests().last(), "block_devices/sdc1 Encrypted.Lock");
    expectOptions(false);
}

TEST_F(UDisks2Sequence, LuksOnAUsbStickIsUnmountedLockedEjectedAndPoweredOff)
{
    SysfsTree sysfs({QStringLiteral("usb-disk")});
    sysfs.addDisk(QStringLiteral("dm-0"), QStringLiteral("253:0"));
    sysfs.stack(QStringLiteral("dm-0"), QStringLiteral("sdb1"));
    table->mounts = {FakeVolumePlatform::mount("/media/secret", "/dev/dm-0")};
    udisks.drive("drives/Cruzer", true, true);
    udisks.block("sdb", "drives/Cruzer");
    udisks.block("sdb1", "drives/Cruzer");
    udisks.partition("sdb1", "sdb");
    udisks.block("dm-0");
    udisks.crypto("dm-0", "sdb1");
    udisks.filesystem("dm-0", {"/media/secret"});

    EXPECT_EQ(eject(sysfs, "sdb"), "ejected");
    EXPECT_EQ(udisks.requests(), (QStringList{"Manager Manager.EnableModules", "block_devices/dm_2d0 Filesystem.Unmount",
                                              "block_devices/sdb1 Encrypted.Lock", "drives/Cruzer Drive.Eject",
                                              "drives/Cruzer Drive.PowerOff"}));
    expectOptions(false);
}

TEST_F(UDisks2Sequence, LvmOnAUsbDiskHasEveryVolumeDeactivatedBeforeThePowerGoes)
{
    SysfsTree sysfs({QStringLiteral("usb-disk")});
    for (const auto& [name, dev] : {std::pair{"dm-0", "253:0"}, std::pair{"dm-1", "253:1"}}) {
        sysfs.addDisk(QString::fromLatin1(name), QString::fromLatin1(dev));
        sysfs.stack(QString::fromLatin1(name), QStringLiteral("sdb1"));
    }
    table->mounts = {FakeVolumePlatform::mount("/media/data", "/dev/dm-0")};  // dm-1 is active, not mounted
    udisks.drive("drives/Cruzer", false, true);
    udisks.block("sdb", "drives/Cruzer");
    udisks.block("sdb1", "drives/Cruzer");
    udisks.partition("sdb1", "sdb");
    udisks.block("dm-0");
    udisks.filesystem("dm-0", {"/media/data"});
    udisks.logicalVolume("dm-0", "lvm/vg/data");
    udisks.block("dm-1");
    udisks.logicalVolume("dm-1", "lvm/vg/swap");

    EXPECT_EQ(eject(sysfs, "sdb"), "ejected");
    QStringList requests = udisks.requests();
    requests.removeAll("Manager Manager.EnableModules");
    ASSERT_EQ(requests.size(), 4) << requests.join(", ").toStdString();
    EXPECT_EQ(requests.last(), "drives/Cruzer Drive.PowerOff");
    EXPECT_LT(requests.indexOf("block_devices/dm_2d0 Filesystem.Unmount"), requests.indexOf("lvm/vg/data LogicalVolume.Deactivate"));
    EXPECT_TRUE(requests.contains("lvm/vg/swap LogicalVolume.Deactivate"));

    // A volume that will not go is busy, and the disk is not powered off under it.
    udisks.calls.clear();
    udisks.refusals["lvm/vg/swap LogicalVolume.Deactivate"] = {
        QStringLiteral("org.freedesktop.UDisks2.Error.Failed"),
        QStringLiteral("Error deactivating LVM volume: Logical volume vg/swap in use: Device or resource busy")};
    EXPECT_EQ(eject(sysfs, "sdb"), "busy");
    EXPECT_FALSE(udisks.requests().contains("drives/Cruzer Drive.PowerOff"));
}

TEST_F(UDisks2Sequence, AnMdMirrorIsUnmountedAndStoppedAndItsInternalDisksStay)
{
    SysfsTree sysfs({QStringLiteral("md-raid1-identical")});  // md0 over sda1 and sdb1
    table->mounts = {FakeVolumePlatform::mount("/srv/mirror", "/dev/md0")};
    for (const QString disk : {QStringLiteral("sda"), QStringLiteral("sdb")}) {
        udisks.drive("drives/WDC_" + disk, false, false);
        udisks.block(disk, "drives/WDC_" + disk);
        udisks.block(disk + "1", "drives/WDC_" + disk);
        udisks.partition(disk + "1", disk);
    }
    udisks.block("md0", {}, {{QStringLiteral("MDRaid"), QVariant::fromValue(object("mdraid/uuid_0a1b"))}});
    udisks.filesystem("md0", {"/srv/mirror"});

    const auto registry = LinuxBlockRegistry(Sysfs(sysfs.root()));
    ASSERT_EQ(registry.members("md0").size(), 2);
    EXPECT_EQ(eject(sysfs, "sda", true), "ejected");
    EXPECT_EQ(udisks.requests(), (QStringList{"block_devices/md0 Filesystem.Unmount", "mdraid/uuid_0a1b MDRaid.Stop"}));
    expectOptions(true);

    udisks.calls.clear();
    udisks.refusals["mdraid/uuid_0a1b MDRaid.Stop"] = {QStringLiteral("org.freedesktop.UDisks2.Error.Failed"),
                                                       QStringLiteral("Error stopping RAID array: mdadm: Cannot get exclusive access to /dev/md0: target is busy")};
    EXPECT_EQ(eject(sysfs, "sda"), "busy");
}

TEST_F(UDisks2Sequence, APlainStickWithTwoPartitionsHasBothUnmountedThenEjected)
{
    SysfsTree sysfs({QStringLiteral("usb-disk")});
    table->mounts = {FakeVolumePlatform::mount("/media/A", "/dev/sdb1"), FakeVolumePlatform::mount("/media/B", "/dev/sdb2")};
    udisks.drive("drives/Cruzer", true, true);
    udisks.block("sdb", "drives/Cruzer");
    for (const QString part : {QStringLiteral("sdb1"), QStringLiteral("sdb2")}) {
        udisks.block(part, "drives/Cruzer");
        udisks.partition(part, "sdb");
        udisks.filesystem(part, {"/media/" + part.toUtf8()});
    }
    EXPECT_EQ(eject(sysfs, "sdb"), "ejected");
    EXPECT_EQ(udisks.requests(), (QStringList{"block_devices/sdb1 Filesystem.Unmount", "block_devices/sdb2 Filesystem.Unmount",
                                              "drives/Cruzer Drive.Eject", "drives/Cruzer Drive.PowerOff"}));
    expectOptions(false);

    udisks.calls.clear();
    udisks.refusals["block_devices/sdb2 Filesystem.Unmount"] = {QStringLiteral("org.freedesktop.UDisks2.Error.NotAuthorizedCanObtain"),
                                                                QStringLiteral("Not authorized to perform operation")};
    EXPECT_EQ(eject(sysfs, "sdb"), "not permitted (Not authorized to perform operation)");
    EXPECT_FALSE(udisks.requests().contains("drives/Cruzer Drive.Eject"));
}

TEST_F(UDisks2Sequence, AnAutoClearLoopThatDetachedItselfWithItsUnmountIsEjected)
{
    SysfsTree sysfs({QStringLiteral("loop-image")});
    table->mounts = {FakeVolumePlatform::mount("/media/Installer", "/dev/loop0")};
    const auto attach = [this] {
        udisks.objects.clear();
        udisks.block("loop0");
        udisks.filesystem("loop0", {"/media/Installer"});
        udisks.objects[object(ScriptedUDisks::path("loop0"))][prefix + "Loop"] = {
            {QStringLiteral("BackingFile"), QByteArray("/home/me/Downloads/Installer.img\0", 33)},
            {QStringLiteral("Autoclear"), true}};
    };

    // The kernel has let go of the device; udisks2 has not caught up and Delete gets ENXIO.
    attach();
    udisks.refusals["block_devices/loop0 Loop.Delete"] = {QStringLiteral("org.freedesktop.UDisks2.Error.Failed"),
                                                          QStringLiteral("Error deleting /dev/loop0: No such device or address")};
    EXPECT_EQ(eject(sysfs, "loop0"), "ejected");
    EXPECT_EQ(udisks.requests(), (QStringList{"block_devices/loop0 Filesystem.Unmount", "block_devices/loop0 Loop.Delete"}));

    // udisks2 already shows it unbound, and another refusal text.
    udisks.calls.clear();
    udisks.refusals["block_devices/loop0 Loop.Delete"] = {QStringLiteral("org.freedesktop.UDisks2.Error.Failed"), QStringLiteral("gone")};
    udisks.effects["block_devices/loop0 Filesystem.Unmount"] = [this] {
        udisks.objects[object(ScriptedUDisks::path("loop0"))][prefix + "Loop"][QStringLiteral("BackingFile")] = QByteArray(1, '\0');
    };
    EXPECT_EQ(eject(sysfs, "loop0"), "ejected");

    // udisks2 has dropped the device before the eject step.
    attach();
    udisks.effects["block_devices/loop0 Filesystem.Unmount"] = [this] { udisks.objects.clear(); };
    EXPECT_EQ(eject(sysfs, "loop0"), "ejected");

    // A loop still bound whose Delete fails is a failure.
    attach();
    udisks.effects.clear();
    EXPECT_EQ(eject(sysfs, "loop0"), "0xF8DA0001 gone");
}

TEST_F(UDisks2Sequence, AnUnmountTheBusGaveUpOnIsNoFailureItEndsWhenTheDeviceIsReleased)
{
    SysfsTree sysfs({QStringLiteral("usb-disk")});
    table->mounts = {FakeVolumePlatform::mount("/media/A", "/dev/sdb1")};
    udisks.drive("drives/Cruzer", false, true);
    udisks.block("sdb", "drives/Cruzer");
    udisks.block("sdb1", "drives/Cruzer");
    udisks.partition("sdb1", "sdb");
    udisks.filesystem("sdb1", {"/media/A"});
    udisks.refusals["block_devices/sdb1 Filesystem.Unmount"] = {QStringLiteral("org.freedesktop.DBus.Error.NoReply"),
                                                                QStringLiteral("Did not receive a reply")};
    std::atomic<int> held = 0;
    // The file system still writes out for three probes; the power goes only after that.
    probe = [&](const QString& name) {
        return name == "sdb1" && ++held <= 3 ? UDisks2Service::DeviceState::held : UDisks2Service::DeviceState::released;
    };
    EXPECT_EQ(eject(sysfs, "sdb"), "ejected");
    EXPECT_EQ(held, 4);
    EXPECT_EQ(udisks.requests(), (QStringList{"block_devices/sdb1 Filesystem.Unmount", "drives/Cruzer Drive.PowerOff"}));
}
