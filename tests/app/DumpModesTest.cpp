#include "DumpModes.h"

#include "Drives/DriveMonitor.h"
#include "Platform/Linux/LinuxBlockRegistry.h"
#include "Platform/Linux/LinuxDiskDescriptions.h"
#include "Volumes/VolumeStore.h"

#include "support/FakeVolumePlatform.h"
#include "support/ManualClock.h"
#include "support/SysfsTree.h"
#include "support/TestEnvironment.h"

#include <gtest/gtest.h>

using namespace mallowby;
using namespace mallowby::test;

TEST(DumpModes, VolumeDumpWaitsAtMostThreeSecondsForFigures)
{
    FakeVolumePlatform fake;
    fake.table->mounts = {FakeVolumePlatform::mount("/", "/dev/vda"), FakeVolumePlatform::mount("/mnt/dead", "dead:/share")};
    ManualClock clock;
    VolumeStore store(SpaceReader{std::chrono::seconds(2),
                                  [](const QString& path) {
                                      return path == QLatin1String("/") ? std::optional(Space{100, 60, 60, false}) : std::nullopt;
                                  }},
                      fake.platform(), clock);
    store.start();

    testing::internal::CaptureStdout();
    bool done = false;
    [](VolumeStore& store, Clock& clock, bool& done) -> QCoro::Task<> {
        co_await DumpModes::volumeDump(store, clock);
        done = true;
    }(store, clock, done);
    TestEnvironment::waitUntil([] { return false; }, std::chrono::milliseconds(100));
    clock.advance(std::chrono::milliseconds(2900));
    EXPECT_FALSE(done);
    clock.advance(std::chrono::milliseconds(150));
    const QString out = QString::fromStdString(testing::internal::GetCapturedStdout());
    ASSERT_TRUE(done);
    EXPECT_EQ(out, "name\tkind\tformat\tprotocol\ttotal\tavailable\tstrict\tstale\tpath\n"
                   "/\tinternal\tEXT4\t-\t100\t60\t60\tfalse\t/\n"
                   "dead\tinternal\tEXT4\t-\t-\t-\t-\t-\t/mnt/dead\n");
}

TEST(DumpModes, TheRunLengthIsASignedDecimalInteger)
{
    EXPECT_EQ(DumpModes::parseSeconds("0"), 0);
    EXPECT_EQ(DumpModes::parseSeconds("+5"), 5);
    EXPECT_EQ(DumpModes::parseSeconds("-3"), -3);
    EXPECT_EQ(DumpModes::parseSeconds("007"), 7);
    EXPECT_EQ(DumpModes::parseSeconds("9223372036854775807"), std::numeric_limits<qint64>::max());
    EXPECT_EQ(DumpModes::parseSeconds("-9223372036854775808"), std::numeric_limits<qint64>::min());
    for (const char* bad : {"", "+", "-", "5s", " 5", "5 ", "+-5", "1e3", "0x10", "٣", "9223372036854775808",
                            "-9223372036854775809", "99999999999999999999"})
        EXPECT_EQ(DumpModes::parseSeconds(QString::fromUtf8(bad)), std::nullopt) << bad;
}

TEST(DumpModes, RateFieldsTruncateToWholeBytesAndShowDashesWithoutStatistics)
{
    Drive drive;
    drive.name = QStringLiteral("2 \u00D7 WDC WD40EFRX-68N");
    drive.kind = VolumeKind::internal;
    drive.members = {{1, "sda"}, {2, "sdb"}};
    EXPECT_EQ(DumpModes::rateFields("3.0", drive),
              (QStringList{"3.0", QStringLiteral("2 \u00D7 WDC WD40EFRX-68N"), "sda+sdb", "internal", "-", "-"}));
    drive.readRate = 1999.99;
    drive.writeRate = 0.5;
    EXPECT_EQ(DumpModes::rateFields("3.0", drive).mid(4), (QStringList{"1999", "0"}));
}

namespace {

// A drive monitor over fixture trees with a USB stick and an internal disk mounted.
struct MonitoredMachine {
    SysfsTree tree{{"usb-disk", "nvme-internal"}};
    FakeVolumePlatform fake;
    ManualClock clock;
    std::unique_ptr<VolumeStore> store;
    std::unique_ptr<DriveMonitor> monitor;

    explicit MonitoredMachine(bool withStick = true)
    {
        tree.setCounters("sdb", {});
        tree.setCounters("nvme0n1", {});
        fake.table->mounts = {FakeVolumePlatform::mount("/home", "/dev/nvme0n1p2")};
        if (withStick)
            fake.table->mounts.append(FakeVolumePlatform::mount("/run/media/me/STICK", "/dev/sdb1"));
        store = std::make_unique<VolumeStore>(
            SpaceReader{std::chrono::seconds(2), [](const QString&) { return std::optional(Space{1, 1, 1, false}); }},
            VolumeStore::Platform{fake.table, std::make_shared<LinuxDiskDescriptions>(Sysfs(tree.root()), nullptr), {}},
            clock);
        store->start();
        monitor = std::make_unique<DriveMonitor>(
            *store, DriveMonitor::Platform{std::make_shared<LinuxBlockRegistry>(Sysfs(tree.root())), {}}, clock);
        monitor->start();
    }
};

} // namespace

TEST(DumpModes, RateDumpPrintsABlockPerSampleUntilTheRunLength)
{
    MonitoredMachine machine;
    ASSERT_TRUE(machine.tree.isReady());
    int terminated = 0;
    testing::internal::CaptureStdout();
    DumpModes::rateDump(*machine.monitor, 2, machine.clock, [&] { ++terminated; });
    EXPECT_EQ(machine.monitor->timerInterval(), 1);
    machine.tree.setCounters("sdb", {0, 3 << 20});
    machine.tree.setCounters("nvme0n1", {1 << 20, 0});
    machine.clock.advance(std::chrono::milliseconds(1000));
    EXPECT_EQ(terminated, 0);
    machine.clock.advance(std::chrono::milliseconds(1000));
    EXPECT_EQ(terminated, 1);
    machine.clock.advance(std::chrono::milliseconds(3000));
    const QString out = QString::fromStdString(testing::internal::GetCapturedStdout());
    EXPECT_EQ(terminated, 1);
    EXPECT_EQ(out, "time\tdrive\tdisks\tkind\tread\twrite\n"
                   "1.0\tSanDisk Cruzer Blade\tsdb\texternal\t0\t3145728\n"
                   "1.0\tSamsung SSD 970 EVO Plus 1TB\tnvme0n1\tinternal\t1048576\t0\n"
                   "1.0\texternal total\t-\t-\t0\t3145728\n"
                   "2.0\tSanDisk Cruzer Blade\tsdb\texternal\t0\t0\n"
                   "2.0\tSamsung SSD 970 EVO Plus 1TB\tnvme0n1\tinternal\t0\t0\n"
                   "2.0\texternal total\t-\t-\t0\t0\n");

    // A run length of zero or less prints one block, even with only internal drives.
    for (const qint64 seconds : {qint64(0), qint64(-7)}) {
        MonitoredMachine internal(false);
        terminated = 0;
        testing::internal::CaptureStdout();
        DumpModes::rateDump(*internal.monitor, seconds, internal.clock, [&] { ++terminated; });
        internal.clock.advance(std::chrono::seconds(5));
        EXPECT_EQ(QString::fromStdString(testing::internal::GetCapturedStdout()),
                  "time\tdrive\tdisks\tkind\tread\twrite\n"
                  "1.0\tSamsung SSD 970 EVO Plus 1TB\tnvme0n1\tinternal\t0\t0\n"
                  "1.0\texternal total\t-\t-\t0\t0\n") << seconds;
        EXPECT_EQ(terminated, 1) << seconds;
    }
}
