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
#include <atomic>

using namespace mallowby;
using namespace mallowby::test;

namespace {

const QString udisksPath = QStringLiteral("/org/freedesktop/UDisks2");
const QString prefix = QStringLiteral("org.freedesktop.UDisks2.");
const QString failed = QStringLiteral("org.freedesktop.UDisks2.Error.Failed");

QVariant object(const QString& relative)
{
    return QVariant::fromValue(QDBusObjectPath(relative.isEmpty() ? QStringLiteral("/") : udisksPath + QLatin1Char('/') + relative));
}
QString blockPath(const QString& name) { return QStringLiteral("block_devices/") + QString(name).replace('-', "_2d"); }

// udisks2's object manager as a test scripts it: the objects of one layout, the requests made of it
// in order ("block_devices/sdb1 Filesystem.Unmount"), refusals and what a request changes.
class ScriptedUDisks final : public QDBusVirtualObject {
public:
    UDisks2Service::ManagedObjects objects;
    QStringList requests;
    QStringList wrongOptions;  // requests whose options are not what the force asked for gives
    bool force = false;
    QHash<QString, std::pair<QString, QString>> refusals;  // request → error name, message
    QHash<QString, std::function<void()>> effects;         // request → change it makes

    QString introspect(const QString&) const override { return {}; }
    bool handleMessage(const QDBusMessage& message, const QDBusConnection& connection) override
    {
        if (message.member() == QLatin1String("GetManagedObjects"))
            return connection.send(message.createReply(QVariant::fromValue(objects)));
        const QString what = message.path().mid(udisksPath.size() + 1) + QLatin1Char(' ') + message.interface().mid(prefix.size())
                             + QLatin1Char('.') + message.member();
        requests << what;
        // Every request allows interactive authorization and says so; `force` only on unmounts, when asked.
        const QVariant last = message.arguments().value(message.arguments().size() - 1);
        const auto options = last.canConvert<QDBusArgument>() ? qdbus_cast<QVariantMap>(last.value<QDBusArgument>()) : QVariantMap();
        if (!what.startsWith(QLatin1String("Manager "))
            && (!message.isInteractiveAuthorizationAllowed() || options.value("auth.no_user_interaction") != QVariant(false)
                || options.value("force").toBool() != (force && what.endsWith(QLatin1String("Filesystem.Unmount")))))
            wrongOptions << what;
        if (const auto refusal = refusals.constFind(what); refusal != refusals.cend())
            return connection.send(message.createErrorReply(refusal->first, refusal->second));
        if (const auto effect = effects.value(what))
            effect();
        return connection.send(message.createReply());
    }

    // The interfaces udisks2 shows for each kind of object.
    void block(const QString& name, const QString& drive = {}, const QString& table = {}, QVariantMap more = {})
    {
        const QByteArray device = "/dev/" + name.toUtf8() + '\0';
        QVariantMap properties{{"Device", device}, {"PreferredDevice", device}, {"Drive", object(drive)},
                               {"CryptoBackingDevice", object({})}, {"MDRaid", object({})}};
        properties.insert(more);
        interface(name, "Block", properties);
        if (!table.isEmpty())
            interface(name, "Partition", {{"Table", object(blockPath(table))}});
    }
    void interface(const QString& name, const QString& which, const QVariantMap& properties, const QString& path = {})
    {
        objects[QDBusObjectPath(udisksPath + '/' + (path.isEmpty() ? blockPath(name) : path))][prefix + which] = properties;
    }
    void filesystem(const QString& name, const QByteArrayList& at) { interface(name, "Filesystem", {{"MountPoints", QVariant::fromValue(at)}}); }
    void drive(const QString& path, bool ejectable, bool canPowerOff)
    {
        interface({}, "Drive", {{"Ejectable", ejectable}, {"CanPowerOff", canPowerOff}}, path);
    }
    void crypto(const QString& cleartext, const QString& backing)
    {
        interface(backing, "Encrypted", {});
        block(cleartext, {}, {}, {{"CryptoBackingDevice", object(blockPath(backing))}});
    }
    void logicalVolume(const QString& name, const QString& volume)
    {
        interface({}, "LogicalVolume", {{"Active", true}}, volume);
        interface(name, "Block.LVM2", {{"LogicalVolume", object(volume)}});
    }
    // A whole disk of `drive` and its partitions.
    void stick(const QString& disk, const QString& path, bool ejectable, const QStringList& partitions)
    {
        drive(path, ejectable, true);
        block(disk, path);
        for (const QString& part : partitions)
            block(part, path, disk);
    }
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

    // Ejects the drive of `member` through the scripted udisks2; the outcome, or "hung" when none came.
    QString eject(const SysfsTree& sysfs, const QString& member, bool force = false)
    {
        udisks.requests.clear();
        udisks.force = force;
        const auto registry = std::make_shared<LinuxBlockRegistry>(Sysfs(sysfs.root()));
        DiskArbitrationClient client({table, registry, std::make_shared<UDisks2Service>(*bus, probe)});
        const EjectTarget target{member, member, VolumeKind::external, registry->members(member), std::nullopt};
        const auto failure = TestEnvironment::await(client.eject(target, force), std::chrono::seconds(10));
        EXPECT_EQ(udisks.wrongOptions, QStringList{});
        return !failure ? QStringLiteral("hung") : *failure ? (*failure)->summary() : QStringLiteral("ejected");
    }
    void mount(const QString& path, const QString& device) { table->mounts.append(FakeVolumePlatform::mount(path, device)); }

    ScriptedUDisks udisks;
    PrivateBus privateBus;  // after the object it serves: it goes first
    UDisks2Service::DeviceProbe probe = UDisks2Service::probeDevice;
    std::unique_ptr<QDBusConnection> bus;
    std::shared_ptr<FakeVolumePlatform::Table> table = std::make_shared<FakeVolumePlatform::Table>();
};

} // namespace

// Each layout is taken down top first; then one step is refused and the sequence stops there.
TEST_F(UDisks2Sequence, EveryLayoutIsTakenDownTopFirstAndStopsAtARefusal)
{
    struct Row {
        const char* name;
        QString fixture;
        std::function<void(SysfsTree&)> layout;
        QString member;
        bool force;
        QStringList requests;  // udisks2's LVM module is enabled first where a volume group is
        QString refused;
        std::pair<QString, QString> error;
        QString outcome;
    };
    const std::vector<Row> rows{
        {"LUKS with LVM inside", "usb-luks", [&](SysfsTree&) {  // sdc1 → dm-0 (LUKS) → dm-1 (vgbackup-home)
             mount("/media/home", "/dev/dm-1");
             udisks.stick("sdc", "drives/WD_Elements", false, {"sdc1"});
             udisks.crypto("dm-0", "sdc1");
             udisks.block("dm-1");
             udisks.filesystem("dm-1", {"/media/home"});
             udisks.logicalVolume("dm-1", "lvm/vgbackup/home");
         }, "sdc", true,
         {"Manager Manager.EnableModules", "block_devices/dm_2d1 Filesystem.Unmount", "lvm/vgbackup/home LogicalVolume.Deactivate",
          "block_devices/sdc1 Encrypted.Lock", "drives/WD_Elements Drive.PowerOff"},
         "block_devices/sdc1 Encrypted.Lock", {failed, "Error locking /dev/sdc1 (/dev/dm-0): Failed to deactivate device: Device or resource busy"}, "busy"},
        {"LVM: every volume, mounted or not, before the power goes", "usb-disk", [&](SysfsTree& sysfs) {
             for (const auto& [name, dev] : {std::pair{"dm-0", "253:0"}, std::pair{"dm-1", "253:1"}}) {
                 sysfs.addDisk(name, dev);
                 sysfs.stack(name, "sdb1");
                 udisks.block(name);
             }
             mount("/media/data", "/dev/dm-0");
             udisks.stick("sdb", "drives/Cruzer", false, {"sdb1"});
             udisks.filesystem("dm-0", {"/media/data"});
             udisks.logicalVolume("dm-0", "lvm/vg/data");
             udisks.logicalVolume("dm-1", "lvm/vg/swap");
         }, "sdb", false,
         {"Manager Manager.EnableModules", "lvm/vg/swap LogicalVolume.Deactivate", "block_devices/dm_2d0 Filesystem.Unmount",
          "lvm/vg/data LogicalVolume.Deactivate", "drives/Cruzer Drive.PowerOff"},
         "lvm/vg/swap LogicalVolume.Deactivate", {failed, "Error deactivating LVM volume: Logical volume vg/swap in use: Device or resource busy"}, "busy"},
        {"md mirror: stopped, its internal disks stay", "md-raid1-identical", [&](SysfsTree&) {  // md0 over sda1 and sdb1
             mount("/srv/mirror", "/dev/md0");
             for (const QString& disk : {QStringLiteral("sda"), QStringLiteral("sdb")}) {
                 udisks.stick(disk, "drives/WDC_" + disk, false, {disk + "1"});
                 udisks.drive("drives/WDC_" + disk, false, false);
             }
             udisks.block("md0", {}, {}, {{"MDRaid", object("mdraid/uuid_0a1b")}});
             udisks.filesystem("md0", {"/srv/mirror"});
         }, "sda", true, {"block_devices/md0 Filesystem.Unmount", "mdraid/uuid_0a1b MDRaid.Stop"},
         "mdraid/uuid_0a1b MDRaid.Stop", {failed, "Error stopping RAID array: mdadm: Cannot get exclusive access to /dev/md0: target is busy"}, "busy"},
        {"a plain stick with two partitions", "usb-disk", [&](SysfsTree&) {
             mount("/media/A", "/dev/sdb1");
             mount("/media/B", "/dev/sdb2");
             udisks.stick("sdb", "drives/Cruzer", true, {"sdb1", "sdb2"});
             udisks.filesystem("sdb1", {"/media/sdb1"});
             udisks.filesystem("sdb2", {"/media/sdb2"});
         }, "sdb", false,
         {"block_devices/sdb1 Filesystem.Unmount", "block_devices/sdb2 Filesystem.Unmount", "drives/Cruzer Drive.Eject", "drives/Cruzer Drive.PowerOff"},
         "drives/Cruzer Drive.Eject", {failed, "Error ejecting /dev/sdb: I/O error"}, "0xF8DA0001 Error ejecting /dev/sdb: I/O error"},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        SysfsTree sysfs({row.fixture});
        udisks.objects.clear();
        udisks.refusals.clear();
        table->mounts.clear();
        row.layout(sysfs);
        EXPECT_EQ(eject(sysfs, row.member, row.force), "ejected");
        QStringList requests = udisks.requests;
        if (QString(row.name).startsWith("LVM")) {  // the volumes in either order, each after its unmount
            EXPECT_LT(requests.indexOf(row.requests[2]), requests.indexOf(row.requests[3]));
            std::sort(requests.begin() + 1, requests.end() - 1);
            QStringList expected = row.requests;
            std::sort(expected.begin() + 1, expected.end() - 1);
            EXPECT_EQ(requests, expected);
        } else {
            EXPECT_EQ(requests, row.requests);
        }
        udisks.refusals[row.refused] = row.error;
        EXPECT_EQ(eject(sysfs, row.member), row.outcome);
        EXPECT_EQ(udisks.requests.last(), row.refused);
    }
}

TEST_F(UDisks2Sequence, AnAutoClearLoopThatDetachedItselfWithItsUnmountIsEjected)
{
    SysfsTree sysfs({QStringLiteral("loop-image")});
    mount("/media/Installer", "/dev/loop0");
    const QString unmount = QStringLiteral("block_devices/loop0 Filesystem.Unmount");
    const QString remove = QStringLiteral("block_devices/loop0 Loop.Delete");
    const auto attach = [&] {
        udisks.objects.clear();
        udisks.block("loop0");
        udisks.filesystem("loop0", {"/media/Installer"});
        udisks.interface("loop0", "Loop", {{"BackingFile", QByteArray("/home/me/Downloads/Installer.img\0", 33)}, {"Autoclear", true}});
    };
    const auto unbind = [&] { udisks.interface("loop0", "Loop", {{"BackingFile", QByteArray(1, '\0')}}); };
    // The kernel has let go of the device; udisks2 has not caught up and Delete gets ENXIO.
    attach();
    udisks.refusals[remove] = {failed, QStringLiteral("Error deleting /dev/loop0: No such device or address")};
    EXPECT_EQ(eject(sysfs, "loop0"), "ejected");
    EXPECT_EQ(udisks.requests, (QStringList{unmount, remove}));
    // udisks2 already shows it unbound, and another refusal text; or it dropped the device.
    udisks.refusals[remove] = {failed, QStringLiteral("gone")};
    for (const std::function<void()>& effect : {std::function<void()>(unbind), std::function<void()>([&] { udisks.objects.clear(); })}) {
        attach();
        udisks.effects[unmount] = effect;
        EXPECT_EQ(eject(sysfs, "loop0"), "ejected");
    }
    // A loop still bound whose Delete fails is a failure.
    attach();
    udisks.effects.clear();
    EXPECT_EQ(eject(sysfs, "loop0"), "0xF8DA0001 gone");
}

TEST_F(UDisks2Sequence, AnUnmountTheBusGaveUpOnIsNoFailureItEndsWhenTheDeviceIsReleased)
{
    SysfsTree sysfs({QStringLiteral("usb-disk")});
    mount("/media/A", "/dev/sdb1");
    udisks.stick("sdb", "drives/Cruzer", false, {"sdb1"});
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
    EXPECT_EQ(udisks.requests, (QStringList{"block_devices/sdb1 Filesystem.Unmount", "drives/Cruzer Drive.PowerOff"}));
}
