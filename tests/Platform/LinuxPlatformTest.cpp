#include "Platform/Linux/LinuxBlockDriver.h"
#include "Platform/Linux/LinuxBlockRegistry.h"
#include "Platform/Linux/LinuxDiskDescriptions.h"
#include "Platform/Linux/LinuxMeminfo.h"
#include "Platform/Linux/LinuxMountStats.h"
#include "Platform/Linux/LinuxMountTable.h"
#include "Platform/Linux/LinuxScreenEvents.h"
#include "Platform/Linux/UdevProperties.h"
#include "Support/FilePath.h"
#include "Volumes/VolumeStore.h"

#include "support/Printers.h"
#include "support/PrivateBus.h"
#include "support/SysfsTree.h"
#include "support/TestEnvironment.h"

#include <QDBusConnection>
#include <QDBusConnectionInterface>
#include <QDBusMessage>
#include <QDBusObjectPath>
#include <QFile>
#include <QSet>
#include <QTemporaryDir>

#include <gtest/gtest.h>

#include <sys/sysmacros.h>

using namespace mallowby;
using namespace mallowby::test;
using namespace std::chrono_literals;

// Every byte string comes back unchanged, and different bytes never decode to the same text.
TEST(FilePath, BytesSurviveDecodingAndStayDistinct)
{
    const struct {
        const char* name;
        QByteArray bytes;
    } rows[] = {
        {"ascii", "/media/usb"},
        {"utf-8", "/media/caf\xc3\xa9"},
        {"latin-1", "/media/caf\xe9"},
        {"latin-1 before a letter", "/\xe9t\xe9"},
        {"latin-1 after a four-byte character", "/\xf0\x9f\x98\x80\xe9"},
        {"truncated sequence", "/a\xc3"},
        {"overlong slash", "/a\xc0\xaf"},
        {"encoded surrogate", "/\xed\xa0\x80"},
        {"above U+10FFFF", "/\xf4\x90\x80\x80"},
        {"a real replacement character", "/\xef\xbf\xbd"},
    };
    QSet<QString> seen;
    for (const auto& row : rows) {
        SCOPED_TRACE(row.name);
        const QString text = FilePath::decode(row.bytes);
        EXPECT_EQ(FilePath::encode(text), row.bytes);
        EXPECT_FALSE(seen.contains(text));
        seen.insert(text);
    }
    EXPECT_EQ(FilePath::decode("/media/caf\xc3\xa9"), QStringLiteral("/media/café"));
    EXPECT_NE(FilePath::decode("caf\xe9"), FilePath::decode("caf\xe8"));
    EXPECT_EQ(FilePath::fromKernel("/media/My\\040caf\xe9\\134"), FilePath::decode("/media/My caf\xe9\\"));
}

TEST(LinuxMeminfo, PendingWritesAreDirtyPlusWritebackInBytesOrNothing)
{
    // As the kernel lays it out; WritebackTmp and a Dirty-like name must not be taken for them. A
    // missing or malformed line gives nothing.
    const QList<std::pair<const char*, std::optional<quint64>>> rows{
        {"MemTotal:       24684544 kB\nDirtyPages:            9 kB\nDirty:            770064 kB\nWriteback:            56 kB\n"
         "WritebackTmp:          7 kB\n", (770064ull + 56) * 1024},
        {"Writeback: 0 kB\nDirty: 0 kB", 0}, {"Dirty: 12 kB\nWritebackTmp: 3 kB\n", std::nullopt},
        {"Dirty: lots kB\nWriteback: 3 kB\n", std::nullopt}, {"Dirty: 12 pages\nWriteback: 3 kB\n", std::nullopt},
        {"Dirty: 99999999999999999999 kB\nWriteback: 3 kB\n", std::nullopt}, {"", std::nullopt}};
    for (const auto& [text, want] : rows)
        EXPECT_EQ(LinuxMeminfo::parsePendingWrites(text), want) << text;
    EXPECT_FALSE(LinuxMeminfo(QStringLiteral("/nonexistent/meminfo")).pendingWrites());
    EXPECT_TRUE(LinuxMeminfo().pendingWrites()) << "the kernel's own file always has both lines";
}

TEST(LinuxMountStats, AnNfsShareCountsTheBytesItWroteToTheServer)
{
    // As the kernel writes it for an NFS mount (abridged), a local mount and a FUSE share.
    const QByteArray stats = "device /dev/vda mounted on / with fstype ext4\n"
                             "device nas:/export/my\\040files mounted on /mnt/my\\040files with fstype nfs4 statvers=1.1\n"
                             "\topts:\trw,vers=4.2,rsize=1048576,wsize=1048576\n"
                             "\tevents:\t1 2 3 4 5 6 7 8 9 10 11 12 13 14 15 16 17 18 19 20 21 22 23 24 25 26 27\n"
                             "\tbytes:\t1000 5000000 0 0 900 4000000 1 977\n"
                             "\tRPC iostats version: 1.1  p/v: 100003/4 (nfs)\n"
                             "device sshfs mounted on /mnt/ssh with fstype fuse.sshfs\n"
                             "device nas:/other mounted on /mnt/other with fstype nfs statvers=1.1\n"
                             "\tbytes:\t1 2 3\n";
    // No count: a local or FUSE mount, a short bytes line, an escaped or unmounted path, an NFS
    // share with another mount on top.
    const QByteArray stacked = stats + "device sshfs mounted on /mnt/my\\040files with fstype fuse.sshfs\n";
    const QList<std::tuple<QByteArray, QString, std::optional<quint64>>> rows{
        {stats, "/mnt/my files", 4000000}, {stats, "/", std::nullopt},         {stats, "/mnt/ssh", std::nullopt},
        {stats, "/mnt/other", std::nullopt}, {stats, "/mnt/my\\040files", std::nullopt}, {stacked, "/mnt/my files", std::nullopt}};
    for (const auto& [text, path, want] : rows)
        EXPECT_EQ(LinuxMountStats::parseBytesWritten(text, path), want) << path.toStdString() << (text == stacked ? " stacked" : "");

    QTemporaryDir dir;
    QFile file(dir.filePath("mountstats"));
    ASSERT_TRUE(file.open(QIODevice::WriteOnly) && file.write(stats) == stats.size() && file.flush());
    EXPECT_EQ(LinuxMountStats(file.fileName()).bytesWritten("/mnt/my files"), std::optional<quint64>(4000000));
    EXPECT_FALSE(LinuxMountStats(dir.filePath("missing")).bytesWritten("/mnt/my files"));
    // The kernel's own file reads; this machine's root is no NFS share.
    EXPECT_FALSE(LinuxMountStats().bytesWritten("/"));
}

namespace {

// "path", with ":root" where the root is not "/" and the flags asked for.
QStringList summary(const QString& fixture, bool includeHidden)
{
    QStringList paths;
    for (const auto& m : VolumeStore::Mount::current(LinuxMountTable(TestEnvironment::dataPath("mountinfo/" + fixture)), includeHidden))
        paths << m.path + (m.root == "/" ? "" : ":" + m.root) + (includeHidden && m.isHidden ? " hidden" : "")
                     + (includeHidden && !m.isLocal ? " network" : "");
    return paths;
}

} // namespace

TEST(LinuxMountTable, MountsOfEveryFixture)
{
    // What a file browser shows, in table order; with hidden ones, what is hidden and what is not
    // local. Live media and containers: overlay and tmpfs are hidden anywhere but at "/".
    const QList<std::tuple<QString, bool, QStringList>> rows{
        {"desktop", false, {"/", "/run/media/me/My Stick", "/mnt/tab\tand\nnewline\\back", "/mnt/nas", "/home/me/remote", "/mnt/nfs", "/media/Installer"}},
        {"desktop", true, {"/proc hidden", "/sys hidden", "/dev hidden", "/", "/boot/efi hidden", "/run hidden", "/run/user/1000 hidden",
                           "/tmp hidden", "/snap/core22/864 hidden", "/run/media/me/My Stick", "/mnt/tab\tand\nnewline\\back",
                           "/mnt/nas network", "/home/me/remote network", "/mnt/nfs network", "/run/user/1000/gvfs hidden",
                           "/swapfile-mount hidden", "/media/Installer"}},
        {"live-overlay", false, {"/", "/media/user/USB"}},
        {"container-tmpfs", false, {"/", "/data:/srv/data"}},
        {"root-gvfs-hide", false, {"/", "/data"}},
        {"btrfs-subvolumes", false, {"/:/@", "/home:/@home"}},
        {"malformed", true, {}},
        {"empty", false, {}},
        {"does-not-exist", false, {}},
        {"partly-broken", false, {"/"}},
    };
    for (const auto& [fixture, includeHidden, want] : rows)
        EXPECT_EQ(summary(fixture, includeHidden), want) << fixture.toStdString() << includeHidden;
    const QStringList binds = summary("bind-mounts", false);
    EXPECT_TRUE(binds.contains("/srv/image") && binds.contains("/home/me/photos:/photos")) << binds.join(' ').toStdString();
    EXPECT_TRUE(summary("live-overlay", true).contains("/mnt/scratch hidden"));
    EXPECT_TRUE(summary("root-gvfs-hide", true).contains("/srv/backup hidden"));

    // Fields as the kernel gives them.
    const auto read = [](const QString& fixture, bool includeHidden) {
        return VolumeStore::Mount::current(LinuxMountTable(TestEnvironment::dataPath("mountinfo/" + fixture)), includeHidden);
    };
    const auto desktop = read("desktop", true), btrfs = read("btrfs-subvolumes", false);
    EXPECT_EQ(QStringList({desktop[3].source, desktop[3].type, desktop[9].source, desktop[9].type, desktop[11].source}),
              QStringList({"/dev/nvme0n1p2", "ext4", "/dev/sdb1", "vfat", "//nas.local/media"}));
    EXPECT_EQ(std::make_pair(desktop[3].device, desktop[9].device), std::make_pair(quint64(makedev(259, 2)), quint64(makedev(8, 17))));
    EXPECT_EQ(btrfs[0].source, btrfs[1].source);
    EXPECT_EQ(read("live-overlay", false)[0].type, "overlay");

    for (const auto& [path, hidden] : QList<std::pair<const char*, bool>>{{"/boot", true}, {"/run/user/1000/doc", true}, {"/", false},
                                                                         {"/run/media/me/x", false}, {"/runner", false},
                                                                         {"/bootstrap", false}, {"/media/snap", false}})
        EXPECT_EQ(LinuxMountTable::isHiddenPath(path), hidden) << path;
}

namespace {


using Properties = QHash<QString, QString>;

// Descriptions of a fixture tree, with udev properties by kernel name.
LinuxDiskDescriptions descriptions(const QString& tree, QHash<QString, Properties> udev = {})
{
    return LinuxDiskDescriptions(Sysfs(TestEnvironment::dataPath("sysfs/" + tree)),
                                 [udev](const QString& name, quint64) { return udev.value(name); });
}

QString text(const std::optional<QString>& value) { return value.value_or("-"); }
QString text(const std::optional<bool>& value) { return value ? (*value ? "yes" : "no") : "-"; }

} // namespace

TEST(LinuxDiskDescriptions, DescribesEveryFixture)
{
    const Properties stickDisk{{"ID_VENDOR", "SanDisk"}, {"ID_MODEL", "Cruzer_Blade"}};
    const Properties stick{{"ID_FS_UUID", "1a2b-3c4d"}, {"ID_FS_LABEL", "My_Stick"}, {"ID_FS_LABEL_ENC", "My\\x20Stick"}};
    const Properties image{{"ID_FS_UUID", "3a985505-ae1f-4961-98b0-80c279bc1689"}, {"ID_FS_LABEL", "Installer"}, {"ID_FS_TYPE", "exfat"}};
    const struct {
        const char* tree;
        QString name;
        QHash<QString, Properties> udev;
        QString want;  // uuid|label|file system|model|protocol|internal|removable
    } rows[] = {
        {"usb-disk", "sdb1", {}, "-|-|-|SanDisk Cruzer Blade|USB|no|yes"},
        {"usb-disk", "sdb2", {{"sdb2", stick}, {"sdb", stickDisk}}, "1A2B-3C4D|My Stick|-|SanDisk Cruzer Blade|USB|no|yes"},
        {"nvme-internal", "nvme0n1p2", {}, "-|-|-|Samsung SSD 970 EVO Plus 1TB|NVMe|yes|no"},
        {"virtio-disk", "vda", {}, "-|-|-|-|Virtio|yes|no"},  // no PCI vendor number as model
        {"sd-card", "mmcblk0p1", {}, "-|-|-|SD16G|Secure Digital|yes|yes"},
        {"loop-image", "loop0", {{"loop0", image}}, "3A985505-AE1F-4961-98B0-80C279BC1689|Installer|exfat|Disk Image|-|-|-"},
        {"usb-disk", "sdz9", {}, "none"},
        {"usb-disk", "mapper/nothing", {}, "none"},
        {"usb-disk", "../../etc", {}, "none"},
        {"usb-disk", "", {}, "none"},
    };
    for (const auto& row : rows) {
        const auto d = descriptions(row.tree, row.udev).describe(row.name);
        EXPECT_EQ(d ? QStringList({text(d->volumeUUID), text(d->volumeName), text(d->fileSystemType), text(d->deviceModel),
                                   text(d->deviceProtocol), text(d->deviceInternal), text(d->mediaRemovable)})
                          .join('|')
                    : "none",
                  row.want)
            << row.tree << ' ' << row.name.toStdString();
    }
    // A card in a built-in reader is an external volume; an image mounted through exfat-fuse is
    // named and formatted from what the device holds.
    const VolumeStore::Mount card{.path = "/media/card", .source = "/dev/mmcblk0p1", .type = "exfat"};
    EXPECT_EQ(card.toVolume(*descriptions("sd-card").describe("mmcblk0p1")).kind, VolumeKind::external);
    const VolumeStore::Mount imageMount{.path = "/media/x", .source = "/dev/loop0", .type = "fuseblk"};
    const Volume volume = imageMount.toVolume(*descriptions("loop-image", {{"loop0", image}}).describe("loop0"));
    EXPECT_EQ(QStringList({volume.format, volume.kind.rawValue(), volume.name, volume.id}),
              QStringList({"ExFAT", "diskImage", "Installer", "3A985505-AE1F-4961-98B0-80C279BC1689"}));
}

TEST(LinuxDiskDescriptions, ProtocolFromTheDevicePathAndEscapedUdevValues)
{
    const QList<std::pair<QString, std::optional<QString>>> cases{
        {"devices/pci0000:00/0000:00:1f.2/ata1/host0/target0:0:0/0:0:0:0/block/sda", "SATA"},
        {"devices/pci0000:00/0000:00:10.0/host2/target2:0:0/2:0:0:0/block/sdc", "SCSI"},
        {"devices/virtual/block/loop0", std::nullopt},
        {"", std::nullopt},
    };
    for (const auto& [path, protocol] : cases)  // USB, NVMe and Virtio: the fixtures above
        EXPECT_EQ(LinuxDiskDescriptions::protocolOfDevicePath(path), protocol) << path.toStdString();
    // Escaped bytes are UTF-8; a broken escape stays as it is.
    for (const auto& [raw, want] : QList<std::pair<QString, QString>>{
             {"My\\x20Stick", "My Stick"}, {"caf\\xc3\\xa9", "café"}, {"trailing\\x2", "trailing\\x2"}, {"\\xzz", "\\xzz"}})
        EXPECT_EQ(UdevProperties::decode(raw), want) << raw.toStdString();
}

namespace {

LinuxBlockRegistry blocks(const QString& tree)
{
    return LinuxBlockRegistry(Sysfs(TestEnvironment::dataPath("sysfs/" + tree)));
}

} // namespace

TEST(LinuxBlockRegistry, MembersAndWholeMedia)
{
    // The whole disk names itself; LVM inside LUKS by kernel and by mapper name; looping slaves
    // still end. (Partitions, images, cards and mirrors with and without diskseq: the drive rows of
    // DriveMonitorTest.)
    const struct { const char* tree; QString name; QList<BlockDevice> want; } rows[] = {
        {"usb-disk", "sdb", {{12, "sdb"}}},
        {"usb-luks", "dm-1", {{14, "sdc"}}},
        {"usb-luks", "mapper/vgbackup-home", {{14, "sdc"}}},
        {"usb-luks", "mapper/luks-3f9e2c1a-5b7d-4e8f-9a60-1c2d3e4f5a6b", {{14, "sdc"}}},
        {"looping-slaves", "dm-1", {{9, "sdd"}}},
        {"looping-slaves", "dm-0", {{9, "sdd"}}},
        {"usb-disk", "sdz1", {}},
        {"usb-disk", "", {}},
        {"usb-disk", "../usb-disk/class/block/sdb", {}},
        {"usb-luks", "mapper/nothing-here", {}},
        {"looping-slaves", "dm-2", {}},  // device mapper with nothing below
    };
    for (const auto& row : rows)
        EXPECT_EQ(blocks(row.tree).members(row.name), row.want) << row.tree << ' ' << row.name.toStdString();
    const QList<std::tuple<const char*, const char*, QStringList>> below{
        {"usb-luks", "sdc", {"dm-0", "dm-1"}}, {"usb-luks", "dm-0", {"dm-1"}}, {"md-raid1-identical", "sdb", {"md0"}},
        {"looping-slaves", "sdd", {"dm-0", "dm-1"}}, {"usb-disk", "sdb", {}}, {"usb-disk", "sdz", {}}};
    for (const auto& [tree, name, want] : below)
        EXPECT_EQ(blocks(tree).wholeMediaBelow(name), want) << tree << ' ' << name;
}

TEST(LinuxBlockRegistry, EndlessStacksEndAtTheVisitBound)
{
    // A stack deeper than the bound: the disk at the bottom lies beyond 63 visits.
    SysfsTree tree;
    tree.addDisk("sdq", "65:0");
    for (int i = 0; i < 70; ++i) {
        const QString name = QStringLiteral("dm-%1").arg(i);
        tree.addDisk(name, QStringLiteral("254:%1").arg(i));
        tree.setAttribute(name, "dm/name", name);
        tree.stack(name, i ? QStringLiteral("dm-%1").arg(i - 1) : "sdq");
    }
    ASSERT_TRUE(tree.isReady()) << tree.error().toStdString();
    const LinuxBlockRegistry registry{Sysfs(tree.root())};
    EXPECT_TRUE(registry.members("dm-69").isEmpty());
    // 62 layers above the disk are still within reach (63 entries with the disk).
    EXPECT_EQ(registry.members("dm-61"), (QList<BlockDevice>{{(65u << 20), "sdq"}}));
    EXPECT_TRUE(registry.members("dm-62").isEmpty());
    // Upwards the same bound holds: 63 entries beside the disk itself.
    EXPECT_EQ(registry.wholeMediaBelow("sdq").size(), 63);
    EXPECT_EQ(registry.wholeMediaBelow("sdq").first(), "dm-0");
}

TEST(LinuxBlockRegistry, AttachedImagesAreTheLoopDevicesBackingFiles)
{
    EXPECT_TRUE(blocks("usb-disk").attachedImages().isEmpty());
    SysfsTree tree({"loop-image"});
    tree.addDisk("loop1", "7:1");  // a loop device with nothing attached has no backing_file
    tree.addDisk("loop2", "7:2");
    tree.setAttribute("loop2", "loop/backing_file", " spaced name.img \n");
    tree.addDisk("loop3", "7:3");
    tree.setAttribute("loop3", "loop/backing_file", "/home/me/Old.img (deleted)\n");
    ASSERT_TRUE(tree.isReady()) << tree.error().toStdString();
    EXPECT_EQ(LinuxBlockRegistry(Sysfs(tree.root())).attachedImages(),
              (QList<AttachedImage>{{"/home/me/Downloads/Installer.img", "loop0"}, {" spaced name.img ", "loop2"}, {"/home/me/Old.img", "loop3"}}));
}

TEST(LinuxBlockRegistry, CountersComeFromTheOpenStatFileOfTheSameAttachment)
{
    SysfsTree tree({"usb-disk"});
    ASSERT_TRUE(tree.isReady()) << tree.error().toStdString();
    const LinuxBlockRegistry registry{Sysfs(tree.root())};
    const auto driver = registry.open({12, "sdb"});
    ASSERT_NE(driver, nullptr);
    EXPECT_EQ(driver->device(), (BlockDevice{12, "sdb"}));
    EXPECT_EQ(driver->counters(), (IOCounters{204800ull * 512, 409600ull * 512}));
    // The same open file shows new figures, none for a malformed line, and recovers with the file.
    for (const auto& [text, want] : QList<std::pair<QString, std::optional<IOCounters>>>{
             {"0 0 9765625000 0 0 0 1 0 0 0 0\n", IOCounters{5'000'000'000'000, 512}}, {"garbage\n", std::nullopt},
             {"0 0 2 0 0 0 4 0 0 0 0\n", IOCounters{1024, 2048}}}) {
        tree.setAttribute("sdb", "stat", text);
        EXPECT_EQ(driver->counters(), want) << text.toStdString();
    }
    // Gone names and partitions never open (a later attachment of a name: e2e BlockCounters).
    EXPECT_EQ(registry.open({12, "sdz"}), nullptr);
    EXPECT_EQ(registry.open({12, "../sdb"}), nullptr);
    // A disk whose stat line lacks its write fields opens but gives no counters.
    const auto broken = blocks("broken-stat").open({40, "sde"});
    ASSERT_NE(broken, nullptr);
    EXPECT_EQ(broken->counters(), std::nullopt);
}

TEST(LinuxBlockDriver, ParseStatTakesFieldsThreeAndSevenInSectors)
{
    // The 17 fields of a current kernel, the 11 of an old one; huge sector counts are taken whole
    // and the byte count wraps like any counter sum.
    const QList<std::pair<const char*, std::optional<IOCounters>>> rows{
        {"  5483 0 101494 306 595 0 256 391 0 684 1043 0 0 0 0 594 346\n", IOCounters{101494ull * 512, 256ull * 512}},
        {"1 2 3 4 5 6 7 8 9 10 11", IOCounters{3 * 512, 7 * 512}},
        {"0 0 18446744073709551615 0 0 0 0 0 0 0 0", IOCounters{18446744073709551615ull * 512, 0}},
        {"", std::nullopt}, {"1 2 3 4 5 6 7 8 9 10", std::nullopt}, {"1 2 -3 4 5 6 7 8 9 10 11", std::nullopt},
        {"1 2 3x 4 5 6 7 8 9 10 11", std::nullopt}, {"0 0 18446744073709551616 0 0 0 0 0 0 0 0", std::nullopt},
    };
    for (const auto& [line, want] : rows)
        EXPECT_EQ(LinuxBlockDriver::parseStat(line), want) << line;
}


namespace {

// Just enough of logind's manager to hand out a session.
class FakeLogind : public QObject {
    Q_OBJECT
    Q_CLASSINFO("D-Bus Interface", "org.freedesktop.login1.Manager")
public:
    QStringList asked;
public Q_SLOTS:
    QDBusObjectPath GetSession(const QString& id)
    {
        asked.append(id);
        return QDBusObjectPath(QStringLiteral("/org/freedesktop/login1/session/_32"));
    }
};

} // namespace

TEST(LinuxScreenEvents, LogindLocksAndTheScreenSaverReachTheMonitorAndNothingElseDoes)
{
    PrivateBus bus;
    if (bus.unavailable())
        GTEST_SKIP() << bus.unavailable()->toStdString();
    QList<bool> received;
    // Without logind: no session, no events; without a bus at all: the same.
    for (const bool connected : {true, false}) {
        LinuxScreenEvents events(connected ? bus.connect() : QDBusConnection("none"), connected ? bus.connect() : QDBusConnection("none"));
        QObject::connect(&events, &ScreenEvents::screenEvent, [&](bool asleep) { received.append(asleep); });
        events.start();
        EXPECT_FALSE(TestEnvironment::waitUntil([&] { return !received.isEmpty() || !events.sessionPath().isEmpty(); }, 300ms));
    }

    QDBusConnection service = bus.connect();
    FakeLogind logind;
    ASSERT_TRUE(service.registerService("org.freedesktop.login1"));
    ASSERT_TRUE(service.registerObject("/org/freedesktop/login1", &logind, QDBusConnection::ExportAllSlots));
    QDBusConnection system = bus.connect(), sessionBus = bus.connect();
    LinuxScreenEvents events(system, sessionBus);
    QObject::connect(&events, &ScreenEvents::screenEvent, [&](bool asleep) { received.append(asleep); });
    events.start();
    const QString sessionPath = QStringLiteral("/org/freedesktop/login1/session/_32");
    ASSERT_TRUE(TestEnvironment::waitUntil([&] { return events.sessionPath() == sessionPath; }, 5s));
    EXPECT_EQ(logind.asked, QStringList{"auto"});
    // A round trip on each connection makes sure the daemon has its match rules.
    system.interface()->registeredServiceNames();
    sessionBus.interface()->registeredServiceNames();

    // Other interfaces, other properties, other sessions and other paths say nothing; the last
    // signal tells that every one before it has arrived.
    const QString session = "org.freedesktop.login1.Session", properties = "org.freedesktop.DBus.Properties",
                  saver = "org.freedesktop.ScreenSaver";
    const QList<std::tuple<QString, QString, QString, QVariantList>> messages{
        {sessionPath, session, "Lock", {}},
        {sessionPath, session, "Unlock", {}},
        {sessionPath, properties, "PropertiesChanged", {session, QVariantMap{{"LockedHint", true}, {"IdleHint", false}}, QStringList{}}},
        {sessionPath, properties, "PropertiesChanged", {"org.freedesktop.login1.User", QVariantMap{{"LockedHint", false}}, QStringList{}}},
        {sessionPath, properties, "PropertiesChanged", {session, QVariantMap{{"IdleHint", true}}, QStringList{}}},
        {"/org/freedesktop/login1/session/_77", session, "Unlock", {}},
        {"/org/freedesktop/ScreenSaver", saver, "ActiveChanged", {false}},
        {"/ScreenSaver", saver, "ActiveChanged", {true}},
        {"/org/freedesktop/ScreenSaver", saver, "ActiveChanged", {false}},
    };
    for (const auto& [path, interface, name, arguments] : messages) {
        QDBusMessage message = QDBusMessage::createSignal(path, interface, name);
        message.setArguments(arguments);
        service.send(message);
    }
    EXPECT_TRUE(TestEnvironment::waitUntil([&] { return received.size() >= 6; }, 5s));
    EXPECT_EQ(received, (QList<bool>{true, false, true, false, true, false}));
}

#include "LinuxPlatformTest.moc"
