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

} // namespace

TEST(LinuxBlockRegistry, MembersAndWholeMedia)
{
    // Partitions and the whole disk itself name the disk, with diskseq as the driver ID; LVM inside
    // LUKS by kernel and by mapper name; a mirror gives one device per disk, sorted; without
    // diskseq the device number stands in: (major << 20) | minor. Looping slaves still end.
    const struct { const char* tree; QString name; QList<BlockDevice> want; } rows[] = {
        {"usb-disk", "sdb1", {{12, "sdb"}}},
        {"usb-disk", "sdb", {{12, "sdb"}}},
        {"nvme-internal", "nvme0n1p2", {{3, "nvme0n1"}}},
        {"sd-card", "mmcblk0p1", {{7, "mmcblk0"}}},
        {"loop-image", "loop0", {{21, "loop0"}}},
        {"usb-luks", "dm-1", {{14, "sdc"}}},
        {"usb-luks", "mapper/vgbackup-home", {{14, "sdc"}}},
        {"usb-luks", "mapper/luks-3f9e2c1a-5b7d-4e8f-9a60-1c2d3e4f5a6b", {{14, "sdc"}}},
        {"md-raid1-identical", "md0", {{1, "sda"}, {2, "sdb"}}},
        {"md-raid1-mixed", "md127", {{(8u << 20) | 0, "sda"}, {(8u << 20) | 16, "sdb"}}},
        {"looping-slaves", "dm-1", {{9, "sdd"}}},
        {"looping-slaves", "dm-0", {{9, "sdd"}}},
        {"usb-disk", "sdz1", {}},
        {"usb-disk", "", {}},
        {"usb-disk", "../usb-disk/class/block/sdb", {}},
        {"usb-luks", "mapper/nothing-here", {}},
        {"looping-slaves", "dm-2", {}},  // device mapper with nothing below
    };
    for (const auto& row : rows)
        EXPECT_EQ(fixture(row.tree).members(row.name), row.want) << row.tree << ' ' << row.name.toStdString();
    const QList<std::tuple<const char*, const char*, QStringList>> below{
        {"usb-luks", "sdc", {"dm-0", "dm-1"}}, {"usb-luks", "dm-0", {"dm-1"}}, {"md-raid1-identical", "sdb", {"md0"}},
        {"looping-slaves", "sdd", {"dm-0", "dm-1"}}, {"usb-disk", "sdb", {}}, {"usb-disk", "sdz", {}}};
    for (const auto& [tree, name, want] : below)
        EXPECT_EQ(fixture(tree).wholeMediaBelow(name), want) << tree << ' ' << name;
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
    EXPECT_TRUE(fixture("usb-disk").attachedImages().isEmpty());
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
    const auto broken = fixture("broken-stat").open({40, "sde"});
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
