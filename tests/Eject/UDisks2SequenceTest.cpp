#include "Eject/DiskArbitrationClient.h"
#include "Platform/Linux/LinuxBlockRegistry.h"
#include "Platform/Linux/UDisks2Service.h"

#include "support/FakeVolumePlatform.h"
#include "support/PrivateBus.h"
#include "support/SysfsTree.h"
#include "support/TestEnvironment.h"

#include <QDBusArgument>
#include <QDBusConnection>
#include <QDBusMessage>
#include <QDBusMetaType>
#include <QDBusVirtualObject>

#include <gtest/gtest.h>

#include <algorithm>
#include <numeric>
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

    QStringList requests() const { return std::accumulate(calls.cbegin(), calls.cend(), QStringList(), [](QStringList l, const Call& c) { return l << c.what; }); }

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
        if (const auto why = privateBus.unavailable())
            GTEST_SKIP() << why->toStdString();
        QDBusConnection service = privateBus.connect();
        ASSERT_TRUE(service.registerVirtualObject(udisksPath, &udisks, QDBusConnection::SubPath));
        ASSERT_TRUE(service.registerService(QStringLiteral("org.freedesktop.UDisks2")));
        bus = std::make_unique<QDBusConnection>(privateBus.connect());
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

    ScriptedUDisks udisks;
    PrivateBus privateBus;  // after the object it serves: it goes first
    UDisks2Service::DeviceProbe probe = UDisks2Service::probeDevice;
    std::unique_ptr<QDBusConnection> bus;
    std::shared_ptr<FakeVolumePlatform::Table> table = std::make_shared<FakeVolumePlatform::Table>();
};

} // namespace

// Each layout ejects in order, every request allowing interactive authorization; then one step is
// refused and the sequence stops there.
TEST_F(UDisks2Sequence, EveryLayoutIsTakenDownTopFirstAndStopsAtARefusal)
{
    struct Row {
        const char* name;
        QStringList fixtures;
        std::function<void(SysfsTree&)> layout;
        QString member;
        bool force;
        QStringList requests;  // Manager calls left out
        QString refused;
        std::pair<QString, QString> error;
        QString outcome;
    };
    const QString failed = QStringLiteral("org.freedesktop.UDisks2.Error.Failed");
    const auto stick = [this](const QString& disk, const QString& drive, bool ejectable, QStringList partitions) {
        udisks.drive(drive, ejectable, true);
        udisks.block(disk, drive);
        for (const QString& part : partitions) {
            udisks.block(part, drive);
            udisks.partition(part, disk);
        }
    };
    const std::vector<Row> rows{
        {"LUKS with LVM inside", {"usb-luks"}, [&](SysfsTree&) {  // sdc1 → dm-0 (LUKS) → dm-1 (vgbackup-home)
             table->mounts = {FakeVolumePlatform::mount("/media/home", "/dev/dm-1")};
             stick("sdc", "drives/WD_Elements", false, {"sdc1"});
             udisks.block("dm-0");
             udisks.crypto("dm-0", "sdc1");
             udisks.block("dm-1");
             udisks.filesystem("dm-1", {"/media/home"});
             udisks.logicalVolume("dm-1", "lvm/vgbackup/home");
         }, "sdc", true,
         {"block_devices/dm_2d1 Filesystem.Unmount", "lvm/vgbackup/home LogicalVolume.Deactivate", "block_devices/sdc1 Encrypted.Lock",
          "drives/WD_Elements Drive.PowerOff"},
         "block_devices/sdc1 Encrypted.Lock", {failed, "Error locking /dev/sdc1 (/dev/dm-0): Failed to deactivate device: Device or resource busy"}, "busy"},
        {"LUKS on a USB stick", {"usb-disk"}, [&](SysfsTree& sysfs) {
             sysfs.addDisk("dm-0", "253:0");
             sysfs.stack("dm-0", "sdb1");
             table->mounts = {FakeVolumePlatform::mount("/media/secret", "/dev/dm-0")};
             stick("sdb", "drives/Cruzer", true, {"sdb1"});
             udisks.block("dm-0");
             udisks.crypto("dm-0", "sdb1");
             udisks.filesystem("dm-0", {"/media/secret"});
         }, "sdb", false,
         {"block_devices/dm_2d0 Filesystem.Unmount", "block_devices/sdb1 Encrypted.Lock", "drives/Cruzer Drive.Eject", "drives/Cruzer Drive.PowerOff"},
         "drives/Cruzer Drive.Eject", {failed, "Error ejecting /dev/sdb: I/O error"}, "0xF8DA0001 Error ejecting /dev/sdb: I/O error"},
        {"LVM: every volume, mounted or not, before the power goes", {"usb-disk"}, [&](SysfsTree& sysfs) {
             for (const auto& [name, dev] : {std::pair{"dm-0", "253:0"}, std::pair{"dm-1", "253:1"}}) {
                 sysfs.addDisk(name, dev);
                 sysfs.stack(name, "sdb1");
             }
             table->mounts = {FakeVolumePlatform::mount("/media/data", "/dev/dm-0")};
             stick("sdb", "drives/Cruzer", false, {"sdb1"});
             udisks.block("dm-0");
             udisks.filesystem("dm-0", {"/media/data"});
             udisks.logicalVolume("dm-0", "lvm/vg/data");
             udisks.block("dm-1");
             udisks.logicalVolume("dm-1", "lvm/vg/swap");
         }, "sdb", false,
         {"lvm/vg/swap LogicalVolume.Deactivate", "block_devices/dm_2d0 Filesystem.Unmount", "lvm/vg/data LogicalVolume.Deactivate",
          "drives/Cruzer Drive.PowerOff"},
         "lvm/vg/swap LogicalVolume.Deactivate", {failed, "Error deactivating LVM volume: Logical volume vg/swap in use: Device or resource busy"}, "busy"},
        {"md mirror: stopped, its internal disks stay", {"md-raid1-identical"}, [&](SysfsTree&) {  // md0 over sda1 and sdb1
             table->mounts = {FakeVolumePlatform::mount("/srv/mirror", "/dev/md0")};
             for (const QString disk : {QStringLiteral("sda"), QStringLiteral("sdb")}) {
                 stick(disk, "drives/WDC_" + disk, false, {disk + "1"});
                 udisks.drive("drives/WDC_" + disk, false, false);
             }
             udisks.block("md0", {}, {{QStringLiteral("MDRaid"), QVariant::fromValue(object("mdraid/uuid_0a1b"))}});
             udisks.filesystem("md0", {"/srv/mirror"});
         }, "sda", true, {"block_devices/md0 Filesystem.Unmount", "mdraid/uuid_0a1b MDRaid.Stop"},
         "mdraid/uuid_0a1b MDRaid.Stop", {failed, "Error stopping RAID array: mdadm: Cannot get exclusive access to /dev/md0: target is busy"}, "busy"},
        {"a plain stick with two partitions", {"usb-disk"}, [&](SysfsTree&) {
             table->mounts = {FakeVolumePlatform::mount("/media/A", "/dev/sdb1"), FakeVolumePlatform::mount("/media/B", "/dev/sdb2")};
             stick("sdb", "drives/Cruzer", true, {"sdb1", "sdb2"});
             udisks.filesystem("sdb1", {"/media/sdb1"});
             udisks.filesystem("sdb2", {"/media/sdb2"});
         }, "sdb", false,
         {"block_devices/sdb1 Filesystem.Unmount", "block_devices/sdb2 Filesystem.Unmount", "drives/Cruzer Drive.Eject", "drives/Cruzer Drive.PowerOff"},
         "block_devices/sdb2 Filesystem.Unmount", {"org.freedesktop.UDisks2.Error.NotAuthorizedCanObtain", "Not authorized to perform operation"},
         "not permitted (Not authorized to perform operation)"},
    };
    for (const Row& row : rows) {
        SysfsTree sysfs(row.fixtures);
        udisks.objects.clear();
        udisks.refusals.clear();
        udisks.calls.clear();
        row.layout(sysfs);
        EXPECT_EQ(eject(sysfs, row.member, row.force), "ejected") << row.name;
        QStringList requests = udisks.requests();
        // udisks2 shows logical volumes only once its LVM module is loaded.
        EXPECT_EQ(requests.first() == "Manager Manager.EnableModules", row.fixtures.first() == "usb-luks" || row.name[0] == 'L') << row.name;
        requests.removeAll("Manager Manager.EnableModules");
        if (QString(row.name).startsWith("LVM")) {  // the volumes in either order, each after its unmount
            EXPECT_EQ(requests.last(), row.requests.last()) << row.name;
            EXPECT_LT(requests.indexOf(row.requests[1]), requests.indexOf(row.requests[2])) << row.name;
            QStringList expected = row.requests;
            std::sort(requests.begin(), requests.end());
            std::sort(expected.begin(), expected.end());
            EXPECT_EQ(requests, expected) << row.name;
        } else {
            EXPECT_EQ(requests, row.requests) << row.name;
        }
        expectOptions(row.force);

        udisks.calls.clear();
        udisks.refusals[row.refused] = row.error;
        EXPECT_EQ(eject(sysfs, row.member), row.outcome) << row.name;
        EXPECT_EQ(udisks.requests().last(), row.refused) << row.name;
        expectOptions(false);
    }
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
