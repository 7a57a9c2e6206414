#include "Drives/DriveMonitor.h"
#include "Platform/Linux/LinuxBlockRegistry.h"
#include "Platform/ScreenEvents.h"
#include "Volumes/VolumeStore.h"

#include "support/TestWorld.h"

#include <QDir>
#include <QPointer>

#include <gtest/gtest.h>

using namespace mallowby;
using namespace mallowby::test;
using namespace std::chrono_literals;

namespace {

// Scripted counters are whole sectors, so sizes here are binary.
constexpr quint64 MiB = 1 << 20;
using Mounts = QList<std::pair<QString, QString>>;

class FakeScreenEvents final : public ScreenEvents {
public:
    void start() override { started = true; }
    void send(bool asleep) { emit screenEvent(asleep); }
    bool started = false;
};

// The test world's store and drive monitor over fixture sysfs trees, with a fake screen.
class DriveMonitorTest : public ::testing::Test {
protected:
    // Counters of every device start at zero unless `keepCounters`.
    void start(const QStringList& fixtures, const Mounts& mounts, bool keepCounters = false)
    {
        world = std::make_unique<TestWorld>(fixtures);
        ASSERT_TRUE(tree().isReady()) << tree().error().toStdString();
        if (!keepCounters)
            for (const QString& name : QDir(tree().root() + "/class/block").entryList(QDir::AllEntries | QDir::NoDotAndDotDot))
                tree().setCounters(name, {});
        for (const auto& [path, source] : mounts)
            world->capacities.set(path, Space{1000, 500, 500, false});
        world->setMounts(mounts);
        world->startStore();
        world->settle();
        world->monitor = std::make_unique<DriveMonitor>(
            *world->store,
            DriveMonitor::Platform{std::make_shared<LinuxBlockRegistry>(Sysfs(tree().root())), [this] {
                                       auto events = std::make_unique<FakeScreenEvents>();
                                       screen = events.get();
                                       return events;
                                   }},
            clock());
        monitor().setOnSample([this] { ++samples; });
        monitor().start();
    }

    SysfsTree& tree() { return world->tree; }
    ManualClock& clock() { return world->clock; }
    DriveMonitor& monitor() { return *world->monitor; }
    void remount(const Mounts& mounts) { world->remount(mounts); }
    const Drive& drive(int index) { return monitor().drives().at(index); }
    const Drive& drive(const QString& id)
    {
        static const Drive none;
        const Drive* found = monitor().drive(id);
        EXPECT_NE(found, nullptr) << id.toStdString();
        return found ? *found : none;
    }

    std::unique_ptr<TestWorld> world;
    FakeScreenEvents* screen = nullptr;
    int samples = 0;
};

const Mounts usbStick{{"/run/media/me/STICK", "/dev/sdb1"}};
const Mounts nvmeHome{{"/home", "/dev/nvme0n1p2"}};

} // namespace

TEST_F(DriveMonitorTest, DrivesAreBuiltFromTheVolumesAndSortedByKind)
{
    start({"usb-disk", "nvme-internal", "loop-image", "sd-card"},
          {{"/home", "/dev/nvme0n1p2"}, {"/mnt/installer", "/dev/loop0"}, {"/run/media/me/B", "/dev/sdb2"},
           {"/run/media/me/A", "/dev/sdb1"}, {"/run/media/me/CARD", "/dev/mmcblk0p1"}, {"/mnt/share", "server:/share"}});

    ASSERT_EQ(monitor().drives().size(), 4);
    // The two partitions of the stick form one drive listing both volumes in volume-list order.
    EXPECT_EQ(drive(0).id, "12");
    EXPECT_EQ(drive(0).name, "SanDisk Cruzer Blade");
    EXPECT_EQ(drive(0).kind, VolumeKind::external);
    EXPECT_EQ(drive(0).deviceProtocol, QStringLiteral("USB"));
    EXPECT_EQ(drive(0).volumeIDs, (QStringList{"/dev/sdb1", "/dev/sdb2"}));
    EXPECT_EQ(drive(0).members, (QList<BlockDevice>{{12, "sdb"}}));
    const QList<std::pair<QString, VolumeKind>> others{
        {"SD16G", VolumeKind::external}, {"Installer.img", VolumeKind::diskImage}, {"Samsung SSD 970 EVO Plus 1TB", VolumeKind::internal}};
    for (int i = 1; i < 4; ++i)
        EXPECT_EQ(std::make_pair(drive(i).name, drive(i).kind), others[i - 1]) << i;
    // New drives read 0 B/s, with full traces of zeros and empty sessions.
    for (const Drive& d : monitor().drives()) {
        EXPECT_EQ(d.readRate, 0.0);
        EXPECT_EQ(d.writeRate, 0.0);
        EXPECT_EQ(d.writeTrace.values(), QList<double>(60, 0.0));
        EXPECT_EQ(d.session, IOCounters{});
    }
    EXPECT_TRUE(screen->started);
}

TEST_F(DriveMonitorTest, ImagesAreNamedByTheirFileUnlessTheImageIsUnknown)
{
    start({"loop-image"}, {{"/mnt/installer", "/dev/loop0"}});
    ASSERT_EQ(monitor().drives().size(), 1);
    EXPECT_EQ(drive(0).name, "Installer.img");

    // A loop device whose backing file is not listed takes the device model.
    tree().removeAttribute("loop0", "loop/backing_file");
    tree().setAttribute("loop0", "diskseq", "22\n");
    remount({{"/mnt/other", "/dev/loop0"}});
    ASSERT_EQ(monitor().drives().size(), 1);
    EXPECT_EQ(drive(0).id, "22");
    EXPECT_EQ(drive(0).name, "Disk Image");
}

TEST_F(DriveMonitorTest, MirrorsOfIdenticalDisksCountThemAndOthersJoinTheirModels)
{
    const struct {
        const char *fixture, *device, *id, *name;
    } rows[] = {
        {"md-raid1-identical", "/dev/md0", "1+2", "2 \u00D7 WDC WD40EFRX-68N"},
        {"md-raid1-mixed", "/dev/md127", "8388608+8388624", "WDC WD40EFRX-68N + ST4000VN008-2DR1"},
    };
    for (const auto& row : rows) {
        start({row.fixture}, {{"/srv", row.device}});
        ASSERT_EQ(monitor().drives().size(), 1) << row.fixture;
        EXPECT_EQ(drive(0).id, row.id);
        EXPECT_EQ(drive(0).name, QString::fromUtf8(row.name));
        EXPECT_EQ(drive(0).kind, VolumeKind::internal);
    }
}

TEST_F(DriveMonitorTest, OnlyInternalDrivesRunNoTimerUntilDetailIsWanted)
{
    start({"nvme-internal", "loop-image"}, {{"/home", "/dev/nvme0n1p2"}, {"/mnt/installer", "/dev/loop0"}});
    ASSERT_EQ(monitor().drives().size(), 2);
    EXPECT_EQ(monitor().timerInterval(), std::nullopt);
    tree().setCounters("nvme0n1", {0, 100 * MiB});
    clock().advance(60s);
    EXPECT_EQ(samples, 0);
    EXPECT_EQ(drive(1).writeRate, 0.0);

    // Wanting detail samples every second even with no external drive.
    monitor().setDetailed(true);
    tree().setCounters("nvme0n1", {0, 103 * MiB});
    clock().advance(1s);
    EXPECT_EQ(samples, 1);
    EXPECT_EQ(drive(1).writeRate, 3.0 * MiB);
    EXPECT_EQ(drive(1).writeTrace.latest(), 3.0 * MiB);
    clock().advance(1s);
    EXPECT_EQ(samples, 2);
    EXPECT_EQ(drive(1).writeRate, 0.0);

    monitor().setDetailed(false);
    clock().advance(30s);
    EXPECT_EQ(samples, 2);
    // A wake takes one sample even so.
    screen->send(false);
    EXPECT_EQ(samples, 3);
    EXPECT_EQ(monitor().timerInterval(), std::nullopt);
}

TEST_F(DriveMonitorTest, TheIntervalFollowsSleepDetailAndExternalDrivesInThatOrder)
{
    start({"usb-disk", "nvme-internal"}, nvmeHome);
    EXPECT_EQ(monitor().timerInterval(), std::nullopt);
    monitor().setDetailed(true);
    EXPECT_EQ(monitor().timerInterval(), 1);
    // Screens off with nothing external: stopped, detail or not.
    screen->send(true);
    EXPECT_EQ(monitor().timerInterval(), std::nullopt);
    screen->send(false);
    EXPECT_EQ(monitor().timerInterval(), 1);
    monitor().setDetailed(false);
    EXPECT_EQ(monitor().timerInterval(), std::nullopt);

    remount({{"/home", "/dev/nvme0n1p2"}, {"/run/media/me/STICK", "/dev/sdb1"}});
    EXPECT_EQ(monitor().timerInterval(), 5);
    monitor().setDetailed(true);
    EXPECT_EQ(monitor().timerInterval(), 1);
    // Screens off with an idle external drive: stopped even while detail is wanted.
    screen->send(true);
    EXPECT_TRUE(monitor().isDisplayAsleep());
    EXPECT_EQ(monitor().timerInterval(), std::nullopt);
    screen->send(false);
    EXPECT_EQ(monitor().timerInterval(), 1);

    // Screens off during a transfer to the external drive: 5 seconds until the write ends.
    tree().setCounters("sdb", {0, 20 * MiB});
    clock().advance(1s);
    EXPECT_GT(monitor().externalWriteRate(), 1.0 * MiB);
    screen->send(true);
    EXPECT_EQ(monitor().timerInterval(), 5);
    clock().advance(5s);  // quiet now, but the write session is still open
    EXPECT_EQ(monitor().externalWriteRate(), 0.0);
    EXPECT_TRUE(drive(0).writeSession.isOpen());
    EXPECT_EQ(monitor().timerInterval(), 5);
    clock().advance(10s);  // 10 s of quiet close the session
    EXPECT_FALSE(drive(0).writeSession.isOpen());
    EXPECT_EQ(monitor().timerInterval(), std::nullopt);
}

TEST_F(DriveMonitorTest, AfterSleepTheWakeSampleRestartsTheTimerWithoutPriming)
{
    start({"usb-disk"}, usbStick);
    EXPECT_EQ(monitor().timerInterval(), 5);
    tree().setCounters("sdb", {0, 2 * MiB});  // slow: under the activity threshold
    clock().advance(5s);
    EXPECT_EQ(samples, 1);
    EXPECT_EQ(drive(0).writeRate, 0.4 * MiB);
    const auto traceBefore = drive(0).writeTrace;

    screen->send(true);
    EXPECT_EQ(monitor().timerInterval(), std::nullopt);
    tree().setCounters("sdb", {0, 60 * MiB});
    clock().advance(60s);
    EXPECT_EQ(samples, 1);

    // The wake sample has no interval to measure: 0 B/s and nothing pushed, but it takes the
    // reading the next tick measures from.
    screen->send(false);
    EXPECT_EQ(samples, 2);
    EXPECT_EQ(drive(0).writeRate, 0.0);
    EXPECT_EQ(drive(0).writeTrace, traceBefore);
    EXPECT_EQ(monitor().timerInterval(), 5);
    tree().setCounters("sdb", {0, 65 * MiB});
    clock().advance(5s);
    EXPECT_EQ(samples, 3);
    EXPECT_EQ(drive(0).writeRate, 1.0 * MiB);
}

TEST_F(DriveMonitorTest, ALateTickPushesOnePointPerWholeSecond)
{
    start({"usb-disk"}, usbStick);
    tree().setCounters("sdb", {0, 0});
    clock().advance(5s);
    ASSERT_EQ(samples, 1);
    tree().setCounters("sdb", {0, 7'900'000 - 7'900'000 % 512});
    // The main thread was held up: the 5-second tick comes 7.9 s after the last sample.
    clock().stall(7900ms);
    clock().advance(0s);
    ASSERT_EQ(samples, 2);
    const double rate = double(7'900'000 - 7'900'000 % 512) / 7.9;
    EXPECT_DOUBLE_EQ(*drive(0).writeRate, rate);
    EXPECT_EQ(drive(0).writeTrace.recent(9), (QList<double>{0, 0, rate, rate, rate, rate, rate, rate, rate}));
}

TEST_F(DriveMonitorTest, ADriveThatLosesItsStatisticsKeepsItsHistory)
{
    start({"usb-disk"}, usbStick);
    monitor().setDetailed(true);
    tree().setCounters("sdb", {4 * MiB, 0});
    clock().advance(1s);
    const Drive before = drive(0);
    ASSERT_GT(*before.readRate, 0);

    tree().setAttribute("sdb", "stat", "1 2 3\n");
    clock().advance(1s);
    EXPECT_EQ(drive(0).readRate, std::nullopt);
    EXPECT_EQ(drive(0).writeRate, std::nullopt);
    EXPECT_EQ(drive(0).readTrace, before.readTrace);
    EXPECT_EQ(drive(0).session, before.session);
    EXPECT_EQ(monitor().externalReadRate(), 0.0);
    clock().advance(1s);
    EXPECT_EQ(drive(0).readRate, std::nullopt);

    // Back again: the first reading has nothing to compare with, the next one does.
    tree().setCounters("sdb", {9 * MiB, 0});
    clock().advance(1s);
    EXPECT_EQ(drive(0).readRate, 0.0);
    EXPECT_EQ(drive(0).session.bytesRead, 9 * MiB);
    tree().setCounters("sdb", {10 * MiB, 0});
    clock().advance(1s);
    EXPECT_EQ(drive(0).readRate, 1.0 * MiB);
}

TEST_F(DriveMonitorTest, ADiskWithoutStatisticsShowsNoRatesFromTheStart)
{
    start({"broken-stat"}, {{"/data", "/dev/sde"}}, true);
    ASSERT_EQ(monitor().drives().size(), 1);
    EXPECT_EQ(drive(0).readRate, std::nullopt);
    monitor().setDetailed(true);
    clock().advance(3s);
    EXPECT_EQ(samples, 3);
    EXPECT_EQ(drive(0).writeRate, std::nullopt);
}

TEST_F(DriveMonitorTest, RebuildsKeepKnownDrivesAndStartNewSessionsForNewAttachments)
{
    start({"usb-disk", "nvme-internal"}, usbStick);
    monitor().setDetailed(true);
    tree().setCounters("sdb", {0, 300 * MiB});
    clock().advance(1s);
    const IOCounters session = drive(0).session;
    ASSERT_GT(session.bytesWritten, 0u);
    const auto trace = drive(0).writeTrace;

    remount({{"/run/media/me/STICK", "/dev/sdb1"}, {"/home", "/dev/nvme0n1p2"}, {"/run/media/me/OTHER", "/dev/sdb2"}});
    ASSERT_EQ(monitor().drives().size(), 2);
    EXPECT_EQ(drive(0).session, session);
    EXPECT_EQ(drive(0).writeTrace, trace);
    EXPECT_EQ(drive(0).volumeIDs, (QStringList{"/dev/sdb2", "/dev/sdb1"}));

    // Unplugged and plugged in again: a new diskseq makes a new drive with a fresh session.
    remount(nvmeHome);
    ASSERT_EQ(monitor().drives().size(), 1);
    EXPECT_EQ(monitor().timerInterval(), 1);
    tree().setAttribute("sdb", "diskseq", "13\n");
    remount(usbStick + nvmeHome);
    ASSERT_EQ(monitor().drives().size(), 2);
    EXPECT_EQ(drive(0).id, "13");
    EXPECT_EQ(drive(0).session, IOCounters{});
    EXPECT_EQ(drive(0).writeTrace.values(), QList<double>(60, 0.0));
    tree().setCounters("sdb", {0, 302 * MiB});
    clock().advance(1s);
    EXPECT_EQ(drive(0).session.bytesWritten, 2 * MiB);
}

TEST_F(DriveMonitorTest, SamplesFeedRatesTracesSpaceAndFinishedWrites)
{
    start({"usb-disk", "sd-card", "nvme-internal"},
          {{"/run/media/me/STICK", "/dev/sdb1"}, {"/run/media/me/CARD", "/dev/mmcblk0p1"}, {"/home", "/dev/nvme0n1p2"}});
    ASSERT_EQ(monitor().drives().size(), 3);
    QList<std::pair<QString, FinishedTransfer>> finished;
    monitor().setOnTransferFinished([&](const Drive& d, const FinishedTransfer& f) { finished.append({d.id, f}); });
    monitor().setDetailed(true);
    const int readsBefore = world->capacities.reads("/run/media/me/STICK");

    // 30 s at 50 MB/s to the stick, 2 MB/s read from the card, 7 MB/s to the internal disk.
    IOCounters stick{0, 0}, card{0, 0}, nvme{0, 0};
    const auto tick = [&](quint64 stickWrite, quint64 cardRead) {
        stick.bytesWritten += stickWrite;
        card.bytesRead += cardRead;
        nvme.bytesWritten += 7 * MiB;
        tree().setCounters("sdb", stick);
        tree().setCounters("mmcblk0", card);
        tree().setCounters("nvme0n1", nvme);
        clock().advance(1s);
        world->settle();
    };
    tick(0, 0);
    for (int i = 0; i < 30; ++i)
        tick(50 * MiB, 2 * MiB);
    EXPECT_EQ(drive("12").writeRate, 50.0 * MiB);
    EXPECT_EQ(drive("7").readRate, 2.0 * MiB);
    EXPECT_EQ(drive("3").writeRate, 7.0 * MiB);
    EXPECT_EQ(monitor().externalWriteRate(), 50.0 * MiB);
    EXPECT_EQ(monitor().externalReadRate(), 2.0 * MiB);
    EXPECT_EQ(drive("12").session.bytesWritten, 1500 * MiB);
    // Free space follows the write; the card was only read.
    EXPECT_GE(world->capacities.reads("/run/media/me/STICK") - readsBefore, 20);
    EXPECT_EQ(world->capacities.reads("/run/media/me/CARD"), 1);

    // The last 28 points summed over the external drives only, oldest first.
    const auto [read, write] = monitor().externalTrace(28);
    EXPECT_EQ(read, QList<double>(28, 2.0 * MiB));
    EXPECT_EQ(write, QList<double>(28, 50.0 * MiB));
    const auto [longRead, longWrite] = monitor().externalTrace(62);
    EXPECT_EQ(longWrite.size(), 62);
    EXPECT_EQ(longWrite.mid(0, 30), QList<double>(30, 0.0));
    EXPECT_EQ(longWrite.mid(30, 30), QList<double>(30, 50.0 * MiB));
    EXPECT_EQ(longWrite.mid(60), QList<double>(2, 0.0));
    EXPECT_TRUE(monitor().externalTrace(-1).first.isEmpty());

    // Quiet with a trickle: reported on the first sample 10 s into the quiet run.
    for (int i = 0; i < 10; ++i)
        tick(100'352, 0);
    EXPECT_TRUE(finished.isEmpty());
    EXPECT_TRUE(drive("12").writeSession.isOpen());
    tick(100'352, 0);
    ASSERT_EQ(finished.size(), 1);
    EXPECT_EQ(finished[0].first, "12");
    EXPECT_EQ(finished[0].second.bytes, 1500 * MiB + 11 * 100'352);
    EXPECT_EQ(finished[0].second.duration, 30s);
    EXPECT_FALSE(drive("12").writeSession.isOpen());
    EXPECT_EQ(samples, 42);
}

TEST_F(DriveMonitorTest, SamplesCloserThanAQuarterSecondAreIgnored)
{
    start({"usb-disk"}, usbStick);
    monitor().setDetailed(true);  // primed just now: the immediate sample is too close
    EXPECT_EQ(samples, 0);
    clock().advance(1s);
    EXPECT_EQ(samples, 1);
    screen->send(false);  // a wake 0 s after the tick
    EXPECT_EQ(samples, 1);
    clock().advance(300ms);
    screen->send(false);
    EXPECT_EQ(samples, 2);
}

TEST_F(DriveMonitorTest, StopEndsSamplingAndFollowing)
{
    start({"usb-disk", "nvme-internal"}, usbStick);
    EXPECT_EQ(monitor().timerInterval(), 5);
    const QPointer<ScreenEvents> events(screen);
    monitor().stop();
    EXPECT_EQ(monitor().timerInterval(), std::nullopt);
    EXPECT_TRUE(events.isNull());
    clock().advance(30s);
    EXPECT_EQ(samples, 0);
    remount(nvmeHome);
    EXPECT_EQ(monitor().drives().size(), 1);
    EXPECT_EQ(drive(0).id, "12");
}
