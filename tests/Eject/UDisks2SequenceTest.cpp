#include "Eject/DiskArbitrationClient.h"
#include "Eject/EjectFailure.h"
#include "Platform/Linux/LinuxBlockRegistry.h"
#include "Platform/Linux/UDisks2Service.h"

#include "support/FakeVolumePlatform.h"
#include "support/Printers.h"
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

// udisks2's object manager: one layout's objects, the requests in order, refusals and their effects.
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
        const QString what = message.path().mid(udisksPath.size() + 1) + ' ' + message.interface().mid(prefix.size()) + '.' + message.member();
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
    void mount(const QString& path, const QString& device) { table->mounts.append(FakeVolumePlatform::mount(path, device)); }

    ScriptedUDisks udisks;
    PrivateBus privateBus;  // after the object it serves: it goes first
    std::unique_ptr<QDBusConnection> bus;
    std::shared_ptr<FakeVolumePlatform::Table> table = std::make_shared<FakeVolumePlatform::Table>();
};

} // namespace

// Each layout is taken down top first and stops at a refusal; some refusals are no failure.
TEST_F(UDisks2Sequence, EveryLayoutIsTakenDownTopFirstAndStopsAtARefusal)
{
    const QString loopUnmount = QStringLiteral("block_devices/loop0 Filesystem.Unmount"), loopDelete = QStringLiteral("block_devices/loop0 Loop.Delete");
    const std::map<QString, std::pair<QString, std::function<void(SysfsTree&)>>> layouts{
        {"luks", {"usb-luks", [&](SysfsTree&) {  // sdc1 → dm-0 (LUKS) → dm-1 (vgbackup-home)
             mount("/media/home", "/dev/dm-1");
             udisks.stick("sdc", "drives/WD_Elements", false, {"sdc1"});
             udisks.interface("sdc1", "Encrypted", {});
             udisks.block("dm-0", {}, {}, {{"CryptoBackingDevice", object(blockPath("sdc1"))}});
             udisks.block("dm-1");
             udisks.filesystem("dm-1", {"/media/home"});
             udisks.logicalVolume("dm-1", "lvm/vgbackup/home");
         }}},
        {"lvm", {"usb-disk", [&](SysfsTree& sysfs) {  // two volumes on sdb1, one mounted
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
         }}},
        {"md", {"md-raid1-identical", [&](SysfsTree&) {  // md0 over sda1 and sdb1: stopped, its internal disks stay
             mount("/srv/mirror", "/dev/md0");
             for (const QString& disk : {QStringLiteral("sda"), QStringLiteral("sdb")}) {
                 udisks.stick(disk, "drives/WDC_" + disk, false, {disk + "1"});
                 udisks.drive("drives/WDC_" + disk, false, false);
             }
             udisks.block("md0", {}, {}, {{"MDRaid", object("mdraid/uuid_0a1b")}});
             udisks.filesystem("md0", {"/srv/mirror"});
         }}},
        {"plain", {"usb-disk", [&](SysfsTree&) {  // a stick with two partitions
             mount("/media/A", "/dev/sdb1");
             mount("/media/B", "/dev/sdb2");
             udisks.stick("sdb", "drives/Cruzer", true, {"sdb1", "sdb2"});
             udisks.filesystem("sdb1", {"/media/sdb1"});
             udisks.filesystem("sdb2", {"/media/sdb2"});
         }}},
        {"loop", {"loop-image", [&](SysfsTree&) {  // an auto-clear loop, which may detach itself with its unmount
             mount("/media/Installer", "/dev/loop0");
             udisks.block("loop0");
             udisks.filesystem("loop0", {"/media/Installer"});
             udisks.interface("loop0", "Loop", {{"BackingFile", QByteArray("/home/me/Downloads/Installer.img\0", 33)}, {"Autoclear", true}});
         }}},
    };
    struct Row {
        const char* name;
        QString layout, member;
        bool force = false;
        std::pair<QString, std::pair<QString, QString>> refusal{};  // request → error name, message
        QStringList requests{};  // all when ejected, else the last; udisks2's LVM module is enabled first where a volume group is
        QString outcome = "ejected";
        std::function<void()> afterLoopUnmount{};
        int heldProbes = 0;  // sdb1 still writes out for so many probes
    };
    const std::vector<Row> rows{
        {.name = "LUKS with LVM inside", .layout = "luks", .member = "sdc", .force = true,
         .requests = {"Manager Manager.EnableModules", "block_devices/dm_2d1 Filesystem.Unmount", "lvm/vgbackup/home LogicalVolume.Deactivate",
                      "block_devices/sdc1 Encrypted.Lock", "drives/WD_Elements Drive.PowerOff"}},
        {.name = "LUKS locked while busy", .layout = "luks", .member = "sdc",
         .refusal = {"block_devices/sdc1 Encrypted.Lock", {failed, "Error locking /dev/sdc1 (/dev/dm-0): Failed to deactivate device: Device or resource busy"}},
         .outcome = "busy"},
        {.name = "LVM: every volume, mounted or not, before the power goes (volumes in either order)", .layout = "lvm", .member = "sdb",
         .requests = {"Manager Manager.EnableModules", "lvm/vg/swap LogicalVolume.Deactivate", "block_devices/dm_2d0 Filesystem.Unmount",
                      "lvm/vg/data LogicalVolume.Deactivate", "drives/Cruzer Drive.PowerOff"}},
        {.name = "LVM volume in use", .layout = "lvm", .member = "sdb",
         .refusal = {"lvm/vg/swap LogicalVolume.Deactivate", {failed, "Error deactivating LVM volume: Logical volume vg/swap in use: Device or resource busy"}},
         .outcome = "busy"},
        {.name = "md mirror", .layout = "md", .member = "sda", .force = true, .requests = {"block_devices/md0 Filesystem.Unmount", "mdraid/uuid_0a1b MDRaid.Stop"}},
        {.name = "md mirror busy", .layout = "md", .member = "sda",
         .refusal = {"mdraid/uuid_0a1b MDRaid.Stop", {failed, "Error stopping RAID array: mdadm: Cannot get exclusive access to /dev/md0: target is busy"}},
         .outcome = "busy"},
        {.name = "plain stick", .layout = "plain", .member = "sdb",
         .requests = {"block_devices/sdb1 Filesystem.Unmount", "block_devices/sdb2 Filesystem.Unmount", "drives/Cruzer Drive.Eject", "drives/Cruzer Drive.PowerOff"}},
        {.name = "plain stick, eject fails", .layout = "plain", .member = "sdb", .refusal = {"drives/Cruzer Drive.Eject", {failed, "Error ejecting /dev/sdb: I/O error"}},
         .outcome = "0xF8DA0001 Error ejecting /dev/sdb: I/O error"},
        {.name = "an unmount the bus gave up on ends when the device is released", .layout = "plain", .member = "sdb",
         .refusal = {"block_devices/sdb1 Filesystem.Unmount", {"org.freedesktop.DBus.Error.NoReply", "Did not receive a reply"}},
         .requests = {"block_devices/sdb1 Filesystem.Unmount", "block_devices/sdb2 Filesystem.Unmount", "drives/Cruzer Drive.Eject", "drives/Cruzer Drive.PowerOff"},
         .heldProbes = 3},
        {.name = "loop let go by the kernel, udisks2 not caught up: Delete gets ENXIO", .layout = "loop", .member = "loop0",
         .refusal = {loopDelete, {failed, "Error deleting /dev/loop0: No such device or address"}}, .requests = {loopUnmount, loopDelete}},
        {.name = "loop shown unbound", .layout = "loop", .member = "loop0", .refusal = {loopDelete, {failed, "gone"}}, .requests = {loopUnmount, loopDelete},
         .afterLoopUnmount = [&] { udisks.interface("loop0", "Loop", {{"BackingFile", QByteArray(1, '\0')}}); }},
        {.name = "loop dropped: nothing left to delete", .layout = "loop", .member = "loop0", .refusal = {loopDelete, {failed, "gone"}}, .requests = {loopUnmount},
         .afterLoopUnmount = [&] { udisks.objects.clear(); }},
        {.name = "loop still bound", .layout = "loop", .member = "loop0", .refusal = {loopDelete, {failed, "gone"}}, .outcome = "0xF8DA0001 gone"},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        const auto& [fixture, layout] = layouts.at(row.layout);
        SysfsTree sysfs({fixture});
        udisks.objects.clear();
        udisks.requests.clear();
        table->mounts.clear();
        layout(sysfs);
        udisks.refusals.clear();
        if (!row.refusal.first.isEmpty())
            udisks.refusals.insert(row.refusal.first, row.refusal.second);
        udisks.effects = {{loopUnmount, row.afterLoopUnmount}};
        udisks.force = row.force;
        std::atomic<int> probes = 0;
        const UDisks2Service::DeviceProbe probe = [&](const QString& name) {
            return name == "sdb1" && ++probes <= row.heldProbes ? UDisks2Service::DeviceState::held : UDisks2Service::DeviceState::released;
        };
        const auto registry = std::make_shared<LinuxBlockRegistry>(Sysfs(sysfs.root()));
        DiskArbitrationClient client({table, registry, std::make_shared<UDisks2Service>(*bus, probe)});
        const EjectTarget target{row.member, row.member, VolumeKind::external, registry->members(row.member), std::nullopt};
        const auto failure = TestEnvironment::await(client.eject(target, row.force), std::chrono::seconds(10));
        EXPECT_EQ(!failure ? "hung" : *failure ? (*failure)->summary() : "ejected", row.outcome);
        EXPECT_EQ(udisks.wrongOptions, QStringList{});
        EXPECT_EQ(probes, row.heldProbes ? row.heldProbes + 1 : 0);
        QStringList requests = udisks.requests, expected = row.requests;
        if (row.outcome != "ejected") {
            EXPECT_EQ(requests.value(requests.size() - 1), row.refusal.first);
        } else if (row.layout == "lvm") {  // the volumes in either order, each after its unmount
            EXPECT_LT(requests.indexOf(expected[2]), requests.indexOf(expected[3]));
            std::sort(requests.begin() + 1, requests.end() - 1);
            std::sort(expected.begin() + 1, expected.end() - 1);
            EXPECT_EQ(requests, expected);
        } else {
            EXPECT_EQ(requests, expected);
        }
    }
}

TEST(EjectTarget, StackedDisksComeTopFirstOnceAndAShareOwnsOnlyItsMountPoint)
{
    // LUKS on sdc1 opened as dm-0, LVM inside it as dm-1.
    const LinuxBlockRegistry registry(Sysfs(TestEnvironment::dataPath("sysfs/usb-luks")));
    const EjectTarget stick{"sdc", "sdc", VolumeKind::external, registry.members("sdc"), std::nullopt};
    ASSERT_EQ(stick.members.size(), 1);
    FakeVolumePlatform::Table table;
    const auto mounted = [&](const EjectTarget& target) {
        QStringList paths;
        for (const VolumeStore::Mount& mount : target.mounts(table, registry))
            paths << mount.path + " " + mount.source;
        return std::pair(paths, target.dependentWholeDisks(table, registry));
    };
    table.mounts = {FakeVolumePlatform::mount("/", "/dev/nvme0n1p2"), FakeVolumePlatform::mount("/media/home", "/dev/mapper/vgbackup-home")};
    EXPECT_EQ(mounted(stick), std::pair(QStringList{"/media/home /dev/mapper/vgbackup-home"}, QStringList{"dm-1", "dm-0"}));
    // dm-0 is both stacked on the member and the whole disk of a mount: listed once.
    table.mounts = {FakeVolumePlatform::mount("/media/crypt", "/dev/dm-0"), FakeVolumePlatform::mount("/media/raw", "/dev/sdc1")};
    EXPECT_EQ(mounted(stick), std::pair(QStringList{"/media/crypt /dev/dm-0", "/media/raw /dev/sdc1"}, QStringList{"dm-1", "dm-0"}));
    table.mounts = {VolumeStore::Mount{"/mnt/nas", "//nas/media", "cifs", false, 0, false}, VolumeStore::Mount{"/mnt/nas/sub", "//nas/other", "cifs", false, 0, false}};
    Volume share;
    share.id = QStringLiteral("//nas/media");
    share.kind = VolumeKind::network;
    share.mountPath = QStringLiteral("/mnt/nas");
    const EjectTarget target = EjectTarget::fromNetworkVolume(share);
    EXPECT_TRUE(target.members.isEmpty());
    EXPECT_EQ(mounted(target), std::pair(QStringList{"/mnt/nas //nas/media"}, QStringList{}));
}

// udisks2's errors and the commands' output become dissents, dissents become failures with their texts.
TEST(EjectFailure, FromErrorsAndDissentsToTexts)
{
    struct Row {
        std::optional<Dissent> dissent;
        const char* summary;  // "" for no failure
        const char* explanation;
        const char* debug;
    };
    const QList<Row> rows{
        {std::nullopt, "", "", ""},
        {Dissent{Dissent::busy, QStringLiteral("dropped")}, "busy", "Files on the drive are in use.", "busy"},
        {Dissent{0x0000C010, std::nullopt}, "busy", "Files on the drive are in use.", "busy"},
        {Dissent{Dissent::exclusiveAccess, QStringLiteral("x")}, "exclusive access",
         "Another app, such as a disk or partition editor, is using the drive exclusively.", "exclusiveAccess"},
        {Dissent{Dissent::notPermitted, std::nullopt}, "not permitted", "Another app refused to let the drive eject.", "notPermitted(by: nil)"},
        {Dissent{Dissent::notPermitted, QStringLiteral("Backup")}, "not permitted (Backup)", "Backup refused to let the drive eject.",
         "notPermitted(by: Optional(\"Backup\"))"},
        {Dissent{0x0000C011, QStringLiteral("exists")}, "0x0000C011 exists", "exists. Error 0x0000C011", "other(status: 49169, message: Optional(\"exists\"))"},
        {Dissent{Dissent::notFound, QStringLiteral("sdb not found")}, "0xF8DA0006 sdb not found", "sdb not found. Error 0xF8DA0006",
         "other(status: -119930874, message: Optional(\"sdb not found\"))"},
        {Dissent{Dissent::unknownError, std::nullopt}, "0xF8DA0001", "Error 0xF8DA0001", "other(status: -119930879, message: nil)"},
        {Dissent{5, std::nullopt}, "0x00000005", "Error 0x00000005", "other(status: 5, message: nil)"},
    };
    for (const Row& row : rows) {
        const auto failure = EjectFailure::from(row.dissent);
        const QStringList texts = failure ? QStringList{failure->summary(), failure->explanation(), failure->debugDescription()} : QStringList{"", "", ""};
        EXPECT_EQ(texts, (QStringList{row.summary, row.explanation, row.debug}));
    }
    for (const auto& [name, message, dissent] : std::vector<std::tuple<const char*, const char*, Dissent>>{
             {"org.freedesktop.UDisks2.Error.DeviceBusy", "target is busy", {Dissent::busy, "target is busy"}},
             {"org.freedesktop.UDisks2.Error.NotAuthorizedCanObtain", "Not authorized", {Dissent::notPermitted, "Not authorized"}},
             {"org.freedesktop.DBus.Error.ServiceUnknown", "no", {Dissent::unsupported, "udisks2 is not available"}},
             {"org.freedesktop.UDisks2.Error.Failed", "Error unmounting: boom", {Dissent::unknownError, "Error unmounting: boom"}}})
        EXPECT_EQ(UDisks2Service::dissentOf(name, message), dissent) << name;
    // What umount and fusermount print.
    for (const auto& [output, status] : std::vector<std::pair<const char*, qint32>>{
             {"umount: /mnt/share: target is busy.\n", 0x0000C010}, {"fusermount3: failed to unmount /x: Device or resource busy", 0x0000C010},
             {"umount: /mnt/x: not mounted.", Dissent::notFound}, {"", Dissent::unknownError}})
        EXPECT_EQ(UDisks2Service::dissentOfCommand(output).status, status) << output;
}

// A bus on which nobody provides udisks2: every request fails clearly, none hangs.
TEST(UDisks2Service, WithoutUdisksEveryRequestSaysSo)
{
    PrivateBus bus;
    if (const auto why = bus.unavailable())
        GTEST_SKIP() << why->toStdString();
    UDisks2Service service(bus.connect());
    for (auto answer : {TestEnvironment::await(service.unmountDisk(QStringLiteral("sdb"), false)),
                        TestEnvironment::await(service.ejectDisk(QStringLiteral("sdb")))})
        EXPECT_EQ(answer, std::optional(std::optional(Dissent{Dissent::unsupported, QStringLiteral("udisks2 is not available")})));
}
