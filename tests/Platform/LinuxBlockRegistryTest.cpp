#include "Platform/Linux/LinuxBlockDriver.h"
#include "Platform/Linux/LinuxBlockRegistry.h"

#include "support/SysfsTree.h"
#include "support/TestEnvironment.h"

#include <gtest/gtest.h>

using namespace mallowby;
using namespace mallowby::test;

namespace {

LinuxBlockRegistry fixture(const QString& tree)
{
    return LinuxBlockRegistry(Sysfs(TestEnvironment::dataPath("sysfs/" + tree)));
}

QList<BlockDevice> devices(std::initializer_list<BlockDevice> list)
{
    return QList<BlockDevice>(list);
}

} // namespace

namespace mallowby {
inline void PrintTo(const BlockDevice& device, std::ostream* os)
{
    *os << device.driverID << ':' << device.bsdName.toStdString();
}
} // namespace mallowby

TEST(LinuxBlockRegistry, MembersLeadFromAVolumeToItsPhysicalDisks)
{
    // Partitions and the whole disk itself name the disk, with diskseq as the driver ID.
    EXPECT_EQ(fixture("usb-disk").members("sdb1"), devices({{12, "sdb"}}));
    EXPECT_EQ(fixture("usb-disk").members("sdb"), devices({{12, "sdb"}}));
    EXPECT_EQ(fixture("nvme-internal").members("nvme0n1p2"), devices({{3, "nvme0n1"}}));
    EXPECT_EQ(fixture("sd-card").members("mmcblk0p1"), devices({{7, "mmcblk0"}}));
    EXPECT_EQ(fixture("loop-image").members("loop0"), devices({{21, "loop0"}}));

    // LVM inside LUKS on a USB partition: by kernel name and by mapper name, down to the disk.
    const auto luks = fixture("usb-luks");
    EXPECT_EQ(luks.members("dm-1"), devices({{14, "sdc"}}));
    EXPECT_EQ(luks.members("mapper/vgbackup-home"), devices({{14, "sdc"}}));
    EXPECT_EQ(luks.members("mapper/luks-3f9e2c1a-5b7d-4e8f-9a60-1c2d3e4f5a6b"), devices({{14, "sdc"}}));

    // A mirror over two disks gives one device per disk, sorted by driver ID.
    EXPECT_EQ(fixture("md-raid1-identical").members("md0"), devices({{1, "sda"}, {2, "sdb"}}));
    // Without diskseq the device number stands in: (major << 20) | minor.
    EXPECT_EQ(fixture("md-raid1-mixed").members("md127"), devices({{(8u << 20) | 0, "sda"}, {(8u << 20) | 16, "sdb"}}));
}

TEST(LinuxBlockRegistry, MembersOfUnknownAndDiskLessDevicesAreEmpty)
{
    EXPECT_TRUE(fixture("usb-disk").members("sdz1").isEmpty());
    EXPECT_TRUE(fixture("usb-disk").members("").isEmpty());
    EXPECT_TRUE(fixture("usb-disk").members("../usb-disk/class/block/sdb").isEmpty());
    EXPECT_TRUE(fixture("usb-luks").members("mapper/nothing-here").isEmpty());
    // A device-mapper device with nothing below it has no physical disk.
    EXPECT_TRUE(fixture("looping-slaves").members("dm-2").isEmpty());
}

TEST(LinuxBlockRegistry, LoopingAndEndlessStacksEndWithinTheVisitBound)
{
    // dm-0 and dm-1 are each other's slaves; the walk still ends and finds the real disk.
    EXPECT_EQ(fixture("looping-slaves").members("dm-1"), devices({{9, "sdd"}}));
    EXPECT_EQ(fixture("looping-slaves").members("dm-0"), devices({{9, "sdd"}}));

    // A stack deeper than the bound: the disk at the bottom lies beyond 63 visits.
    SysfsTree tree;
    tree.addDisk("sdq", "65:0");
    QString below = "sdq";
    for (int i = 0; i < 70; ++i) {
        const QString name = QStringLiteral("dm-%1").arg(i);
        tree.addDisk(name, QStringLiteral("254:%1").arg(i));
        tree.setAttribute(name, "dm/name", name);
        tree.stack(name, below);
        below = name;
    }
    ASSERT_TRUE(tree.isReady()) << tree.error().toStdString();
    const LinuxBlockRegistry registry{Sysfs(tree.root())};
    EXPECT_TRUE(registry.members("dm-69").isEmpty());
    // 62 layers above the disk are still within reach (63 entries with the disk).
    EXPECT_EQ(registry.members("dm-61"), devices({{(65u << 20), "sdq"}}));
    EXPECT_TRUE(registry.members("dm-62").isEmpty());
    // Upwards the same bound holds: 63 entries beside the disk itself.
    EXPECT_EQ(registry.wholeMediaBelow("sdq").size(), 63);
    EXPECT_EQ(registry.wholeMediaBelow("sdq").first(), "dm-0");
}

TEST(LinuxBlockRegistry, WholeMediaBelowListsWhatIsStackedOnADisk)
{
    EXPECT_EQ(fixture("usb-luks").wholeMediaBelow("sdc"), (QStringList{"dm-0", "dm-1"}));
    EXPECT_EQ(fixture("usb-luks").wholeMediaBelow("dm-0"), (QStringList{"dm-1"}));
    EXPECT_EQ(fixture("md-raid1-identical").wholeMediaBelow("sdb"), (QStringList{"md0"}));
    EXPECT_TRUE(fixture("usb-disk").wholeMediaBelow("sdb").isEmpty());
    EXPECT_TRUE(fixture("usb-disk").wholeMediaBelow("sdz").isEmpty());
    EXPECT_EQ(fixture("looping-slaves").wholeMediaBelow("sdd"), (QStringList{"dm-0", "dm-1"}));
}

TEST(LinuxBlockRegistry, AttachedImagesAreTheLoopDevicesBackingFiles)
{
    EXPECT_EQ(fixture("loop-image").attachedImages(),
              (QList<AttachedImage>{{"/home/me/Downloads/Installer.img", "loop0"}}));
    EXPECT_TRUE(fixture("usb-disk").attachedImages().isEmpty());

    SysfsTree tree({"loop-image"});
    tree.addDisk("loop1", "7:1");  // a loop device with nothing attached has no backing_file
    tree.addDisk("loop2", "7:2");
    tree.setAttribute("loop2", "loop/backing_file", " spaced name.img \n");
    tree.addDisk("loop3", "7:3");
    tree.setAttribute("loop3", "loop/backing_file", "/home/me/Old.img (deleted)\n");
    ASSERT_TRUE(tree.isReady()) << tree.error().toStdString();
    EXPECT_EQ(LinuxBlockRegistry(Sysfs(tree.root())).attachedImages(),
              (QList<AttachedImage>{{"/home/me/Downloads/Installer.img", "loop0"},
                                    {" spaced name.img ", "loop2"},
                                    {"/home/me/Old.img", "loop3"}}));
}

TEST(LinuxBlockRegistry, CountersAreSectorsTimes512FromTheOpenStatFile)
{
    SysfsTree tree({"usb-disk"});
    ASSERT_TRUE(tree.isReady()) << tree.error().toStdString();
    const LinuxBlockRegistry registry{Sysfs(tree.root())};
    const auto driver = registry.open({12, "sdb"});
    ASSERT_NE(driver, nullptr);
    EXPECT_EQ(driver->device(), (BlockDevice{12, "sdb"}));
    EXPECT_EQ(driver->counters(), (IOCounters{204800ull * 512, 409600ull * 512}));

    // The same open file shows the new figures.
    tree.setCounters("sdb", {5'000'000'000'000, 512});
    EXPECT_EQ(driver->counters(), (IOCounters{5'000'000'000'000, 512}));

    // A malformed line reads as no counters, and recovers with the file.
    tree.setAttribute("sdb", "stat", "garbage\n");
    EXPECT_EQ(driver->counters(), std::nullopt);
    tree.setCounters("sdb", {1024, 2048});
    EXPECT_EQ(driver->counters(), (IOCounters{1024, 2048}));
}

TEST(LinuxBlockRegistry, OpenRefusesGoneAndReplacedDevices)
{
    SysfsTree tree({"usb-disk"});
    const LinuxBlockRegistry registry{Sysfs(tree.root())};
    EXPECT_EQ(registry.open({12, "sdz"}), nullptr);
    // The name now belongs to a later attachment.
    tree.setAttribute("sdb", "diskseq", "13\n");
    EXPECT_EQ(registry.open({12, "sdb"}), nullptr);
    EXPECT_NE(registry.open({13, "sdb"}), nullptr);
    // A partition is never a driver of its own.
    EXPECT_EQ(registry.open({12, "../sdb"}), nullptr);
}

TEST(LinuxBlockRegistry, AStatLineWithoutItsWriteFieldsGivesNoCounters)
{
    const auto registry = fixture("broken-stat");
    const auto members = registry.members("sde");
    ASSERT_EQ(members, devices({{40, "sde"}}));
    const auto driver = registry.open(members.first());
    ASSERT_NE(driver, nullptr);
    EXPECT_EQ(driver->counters(), std::nullopt);
}

TEST(LinuxBlockDriver, ParseStatTakesFieldsThreeAndSeven)
{
    // The 17-field line of a current kernel, the 11 fields of an old one.
    EXPECT_EQ(LinuxBlockDriver::parseStat("  5483 0 101494 306 595 0 256 391 0 684 1043 0 0 0 0 594 346\n"),
              (IOCounters{101494ull * 512, 256ull * 512}));
    EXPECT_EQ(LinuxBlockDriver::parseStat("1 2 3 4 5 6 7 8 9 10 11"), (IOCounters{3 * 512, 7 * 512}));
    // Huge sector counts are taken whole; the byte count wraps like any counter sum.
    EXPECT_EQ(LinuxBlockDriver::parseStat("0 0 18446744073709551615 0 0 0 0 0 0 0 0"),
              (IOCounters{18446744073709551615ull * 512, 0}));

    EXPECT_EQ(LinuxBlockDriver::parseStat(""), std::nullopt);
    EXPECT_EQ(LinuxBlockDriver::parseStat("1 2 3 4 5 6 7 8 9 10"), std::nullopt);
    EXPECT_EQ(LinuxBlockDriver::parseStat("1 2 -3 4 5 6 7 8 9 10 11"), std::nullopt);
    EXPECT_EQ(LinuxBlockDriver::parseStat("1 2 3x 4 5 6 7 8 9 10 11"), std::nullopt);
    EXPECT_EQ(LinuxBlockDriver::parseStat("0 0 18446744073709551616 0 0 0 0 0 0 0 0"), std::nullopt);
}
