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
using namespace std::chrono_literals;

TEST(DumpModes, VolumeDumpWaitsAtMostThreeSecondsForFigures)
{
    FakeVolumePlatform fake;
    fake.table->mounts = {FakeVolumePlatform::mount("/", "/dev/vda"), FakeVolumePlatform::mount("/mnt/dead", "dead:/share")};
    ManualClock clock;
    VolumeStore store(SpaceReader{2s, [](const QString& path) { return path == "/" ? std::optional(Space{100, 60, 60, false}) : std::nullopt; }},
                      fake.platform(), clock);
    store.start();
    testing::internal::CaptureStdout();
    bool done = false;
    [](VolumeStore& store, Clock& clock, bool& done) -> QCoro::Task<> {
        co_await DumpModes::volumeDump(store, clock);
        done = true;
    }(store, clock, done);
    TestEnvironment::waitUntil([] { return false; }, 100ms);
    clock.advance(2900ms);
    EXPECT_FALSE(done);
    clock.advance(150ms);
    const QString out = QString::fromStdString(testing::internal::GetCapturedStdout());
    ASSERT_TRUE(done);
    EXPECT_EQ(out, "name\tkind\tformat\tprotocol\ttotal\tavailable\tstrict\tstale\tpath\n"
                   "/\tinternal\tEXT4\t-\t100\t60\t60\tfalse\t/\n"
                   "dead\tinternal\tEXT4\t-\t-\t-\t-\t-\t/mnt/dead\n");
}

TEST(DumpModes, TheRunLengthIsASignedDecimalIntegerAndRatesAreWholeBytes)
{
    const std::vector<std::pair<const char*, std::optional<qint64>>> rows{
        {"0", 0}, {"+5", 5}, {"-3", -3}, {"007", 7}, {"9223372036854775807", std::numeric_limits<qint64>::max()},
        {"-9223372036854775808", std::numeric_limits<qint64>::min()}, {"", {}}, {"+", {}}, {"-", {}}, {"5s", {}}, {" 5", {}},
        {"5 ", {}}, {"+-5", {}}, {"1e3", {}}, {"0x10", {}}, {"٣", {}}, {"9223372036854775808", {}}, {"-9223372036854775809", {}},
        {"99999999999999999999", {}}};
    for (const auto& [text, seconds] : rows)
        EXPECT_EQ(DumpModes::parseSeconds(QString::fromUtf8(text)), seconds) << text;

    // Rate fields truncate to whole bytes and show dashes without statistics.
    Drive drive;
    drive.name = QStringLiteral("2 \u00D7 WDC WD40EFRX-68N");
    drive.kind = VolumeKind::internal;
    drive.members = {{1, "sda"}, {2, "sdb"}};
    EXPECT_EQ(DumpModes::rateFields("3.0", drive), (QStringList{"3.0", drive.name, "sda+sdb", "internal", "-", "-"}));
    drive.readRate = 1999.99;
    drive.writeRate = 0.5;
    EXPECT_EQ(DumpModes::rateFields("3.0", drive).mid(4), (QStringList{"1999", "0"}));
}

// A block per sample until the run length; one block for a length of zero or less, even with
// only internal drives.
TEST(DumpModes, RateDumpPrintsABlockPerSampleUntilTheRunLength)
{
    const QString header = "time\tdrive\tdisks\tkind\tread\twrite\n", nvme = "Samsung SSD 970 EVO Plus 1TB\tnvme0n1\tinternal\t";
    for (const qint64 seconds : {2, 0, -7}) {
        SCOPED_TRACE(seconds);
        SysfsTree tree{{"usb-disk", "nvme-internal"}};
        ASSERT_TRUE(tree.isReady());
        tree.setCounters("sdb", {});
        tree.setCounters("nvme0n1", {});
        FakeVolumePlatform fake;
        fake.table->mounts = {FakeVolumePlatform::mount("/home", "/dev/nvme0n1p2")};
        if (seconds > 0)
            fake.table->mounts.append(FakeVolumePlatform::mount("/run/media/me/STICK", "/dev/sdb1"));
        ManualClock clock;
        VolumeStore store(SpaceReader{2s, [](const QString&) { return std::optional(Space{1, 1, 1, false}); }},
                          {fake.table, std::make_shared<LinuxDiskDescriptions>(Sysfs(tree.root()), nullptr), {}}, clock);
        store.start();
        DriveMonitor monitor(store, {std::make_shared<LinuxBlockRegistry>(Sysfs(tree.root())), {}}, clock);
        monitor.start();
        int terminated = 0;
        testing::internal::CaptureStdout();
        DumpModes::rateDump(monitor, seconds, clock, [&] { ++terminated; });
        EXPECT_EQ(monitor.timerInterval(), 1);
        tree.setCounters("sdb", {0, 3 << 20});
        tree.setCounters("nvme0n1", {1 << 20, 0});
        clock.advance(1000ms);
        EXPECT_EQ(terminated, seconds > 1 ? 0 : 1);
        clock.advance(1000ms);
        clock.advance(3000ms);
        EXPECT_EQ(terminated, 1);
        const QString out = QString::fromStdString(testing::internal::GetCapturedStdout());
        if (seconds > 0)
            EXPECT_EQ(out, header + "1.0\tSanDisk Cruzer Blade\tsdb\texternal\t0\t3145728\n1.0\t" + nvme + "1048576\t0\n"
                               "1.0\texternal total\t-\t-\t0\t3145728\n2.0\tSanDisk Cruzer Blade\tsdb\texternal\t0\t0\n2.0\t" + nvme
                               + "0\t0\n2.0\texternal total\t-\t-\t0\t0\n");
        else
            EXPECT_EQ(out, header + "1.0\t" + nvme + "1048576\t0\n1.0\texternal total\t-\t-\t0\t0\n");
    }
}
