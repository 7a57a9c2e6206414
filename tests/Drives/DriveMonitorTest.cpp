#include "Drives/DriveMonitor.h"
#include "Drives/TransferDetector.h"
#include "Platform/ScreenEvents.h"

#include "support/Printers.h"
#include "support/TestWorld.h"

#include <QDir>
#include <QPointer>
#include <QSet>

#include <gtest/gtest.h>

using namespace mallowby;
using namespace mallowby::test;
using namespace std::chrono_literals;

namespace {

constexpr quint64 MiB = 1 << 20;  // scripted counters are whole sectors
using Mounts = QList<std::pair<QString, QString>>;
const Mounts stick{{"/run/media/me/STICK", "/dev/sdb1"}}, home{{"/home", "/dev/nvme0n1p2"}};

class FakeScreenEvents final : public ScreenEvents {
public:
    void start() override { started = true; }
    bool started = false;
};

// The world's store and monitor over fixture trees (counters at zero), with a fake screen.
class DriveMonitorTest : public ::testing::Test {
protected:
    void start(const QStringList& fixtures, const Mounts& mounts, const std::function<void(SysfsTree&)>& tweak = {})
    {
        world = std::make_unique<TestWorld>(fixtures);
        for (const QString& name : QDir(tree().root() + "/class/block").entryList(QDir::AllEntries | QDir::NoDotAndDotDot))
            tree().setCounters(name, {});
        if (tweak)
            tweak(tree());
        ASSERT_TRUE(tree().isReady()) << tree().error().toStdString();
        for (const auto& [path, source] : mounts)
            world->capacities.set(path, Space{1000, 500, 500, false});
        world->setMounts(mounts);
        world->startStore();
        world->settle();
        world->startMonitor([this] {
            auto events = std::make_unique<FakeScreenEvents>();
            screen = events.get();
            return events;
        });
        monitor().setOnSample([this] { ++samples; });
    }
    SysfsTree& tree() { return world->tree; }
    DriveMonitor& monitor() { return *world->monitor; }
    const Drive& drive(int index) { return monitor().drives().at(index); }
    void write(const char* name, quint64 bytes, std::chrono::milliseconds after)
    {
        tree().setCounters(name, {0, bytes});
        world->clock.advance(after);
    }
    void send(bool asleep) { emit screen->screenEvent(asleep); }

    // One step of a scenario, then the timer interval and the sample count it leaves.
    struct Step {
        const char* name;
        std::function<void()> act;
        std::optional<int> interval;
        int samples;
    };
    void run(const std::vector<Step>& steps)
    {
        for (const Step& step : steps) {
            SCOPED_TRACE(step.name);
            step.act();
            EXPECT_EQ(monitor().timerInterval(), step.interval);
            EXPECT_EQ(samples, step.samples);
        }
    }

    std::unique_ptr<TestWorld> world;
    FakeScreenEvents* screen = nullptr;
    int samples = 0;
};

} // namespace

TEST_F(DriveMonitorTest, DrivesGroupVolumesByDiskAndAreNamedAndSortedByKind)
{
    // id | name | kind | protocol | volumes | members; new drives read 0 B/s with zero traces and sessions.
    const struct { QStringList fixtures; Mounts mounts; std::function<void(SysfsTree&)> tweak; QStringList want; } rows[] = {
        {{"usb-disk", "nvme-internal", "loop-image", "sd-card"},
         {{"/home", "/dev/nvme0n1p2"}, {"/mnt/installer", "/dev/loop0"}, {"/run/media/me/B", "/dev/sdb2"},
          {"/run/media/me/A", "/dev/sdb1"}, {"/run/media/me/CARD", "/dev/mmcblk0p1"}, {"/mnt/share", "server:/share"}},
         {},
         {"12|SanDisk Cruzer Blade|external|USB|/dev/sdb1 /dev/sdb2|12:sdb", "7|SD16G|external|Secure Digital|/dev/mmcblk0p1|7:mmcblk0",
          "21|Installer.img|diskImage|-|/dev/loop0|21:loop0",
          "3|Samsung SSD 970 EVO Plus 1TB|internal|NVMe|/dev/nvme0n1p2|3:nvme0n1"}},
        {{"loop-image"}, {{"/mnt/other", "/dev/loop0"}},  // an image whose backing file is not listed
         [](SysfsTree& t) {
             t.removeAttribute("loop0", "loop/backing_file");
             t.setAttribute("loop0", "diskseq", "22\n");
         },
         {"22|Disk Image|diskImage|-|/dev/loop0|22:loop0"}},
        {{"md-raid1-identical"}, {{"/srv", "/dev/md0"}}, {}, {"1+2|2 \u00D7 WDC WD40EFRX-68N|internal|SATA|/dev/md0|1:sda 2:sdb"}},
        {{"md-raid1-mixed"}, {{"/srv", "/dev/md127"}}, {},
         {"8388608+8388624|WDC WD40EFRX-68N + ST4000VN008-2DR1|internal|SATA|/dev/md127|8388608:sda 8388624:sdb"}},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.want.first().toStdString());
        start(row.fixtures, row.mounts, row.tweak);
        QStringList got;
        for (const Drive& d : monitor().drives()) {
            QStringList members;
            for (const BlockDevice& m : d.members)
                members << QString::number(m.driverID) + ':' + m.bsdName;
            got << QStringList{d.id, d.name, d.kind.rawValue(), d.deviceProtocol.value_or("-"), d.volumeIDs.join(' '), members.join(' ')}.join('|');
            EXPECT_TRUE(d.readRate == 0.0 && d.writeRate == 0.0 && d.session == IOCounters{});
            EXPECT_EQ(d.writeTrace.values(), QList<double>(60, 0.0));
        }
        EXPECT_EQ(got, row.want);
        EXPECT_TRUE(screen->started);
    }
}

TEST_F(DriveMonitorTest, TheTimerFollowsSleepDetailAndExternalDrivesInThatOrder)
{
    start({"usb-disk", "nvme-internal", "loop-image"}, home + Mounts{{"/mnt/installer", "/dev/loop0"}});
    const auto nvme = [&] { return monitor().drive("3"); };
    RingBuffer<double> trace(1, 0);
    const quint64 late = 7'900'000 - 7'900'000 % 512;
    run({
        {"internal drives alone run no timer", [&] { write("nvme0n1", 100 * MiB, 60s); }, std::nullopt, 0},
        {"detail primes: the immediate sample is too close", [&] { monitor().setDetailed(true); }, 1, 0},
        {"a tick measures", [&] { write("nvme0n1", 103 * MiB, 1s); EXPECT_EQ(nvme()->writeTrace.latest(), 3.0 * MiB); }, 1, 1},
        {"a quiet tick", [&] { world->clock.advance(1s); EXPECT_EQ(nvme()->writeRate, 0.0); }, 1, 2},
        {"a wake right after a tick is too close", [&] { send(false); }, 1, 2},
        {"a wake 300 ms later samples", [&] { world->clock.advance(300ms); send(false); }, 1, 3},
        {"asleep with nothing external: stopped", [&] { send(true); }, std::nullopt, 3},
        {"awake again", [&] { send(false); }, 1, 4},
        {"detail off", [&] { monitor().setDetailed(false); world->clock.advance(30s); }, std::nullopt, 4},
        {"a wake takes one sample even so", [&] { send(false); }, std::nullopt, 5},
        {"an external drive: every 5 s", [&] { world->remount(home + stick); }, 5, 5},
        {"a tick 7.9 s late pushes one point per whole second",
         [&] {
             tree().setCounters("sdb", {0, late});
             world->clock.stall(7900ms);
             world->clock.advance(0s);
             const double rate = double(late) / 7.9;
             EXPECT_EQ(drive(0).writeTrace.recent(9), (QList<double>{0, 0, rate, rate, rate, rate, rate, rate, rate}));
         },
         5, 6},
        {"detail: every second", [&] { monitor().setDetailed(true); }, 1, 6},
        {"a slow write", [&] { write("sdb", late + 400 * 1024, 1s); EXPECT_EQ(drive(0).writeRate, 400.0 * 1024); }, 1, 7},
        {"asleep with a slow external drive: stopped", [&] { send(true); EXPECT_TRUE(monitor().isDisplayAsleep()); }, std::nullopt, 7},
        {"the wake sample", [&] { send(false); }, 1, 8},
        {"a transfer", [&] { write("sdb", 20 * MiB, 1s); EXPECT_GT(monitor().externalWriteRate(), 1.0 * MiB); }, 1, 9},
        {"asleep during a transfer: 5 s", [&] { send(true); }, 5, 9},
        {"quiet, the write session open", [&] { world->clock.advance(5s); EXPECT_TRUE(drive(0).writeSession.isOpen()); }, 5, 10},
        {"10 s of quiet close it", [&] { world->clock.advance(10s); EXPECT_FALSE(drive(0).writeSession.isOpen()); }, std::nullopt, 12},
        {"writes while asleep go unseen", [&] { write("sdb", 80 * MiB, 60s); trace = drive(0).writeTrace; }, std::nullopt, 12},
        {"the wake sample has no interval to measure",
         [&] { send(false); EXPECT_EQ(drive(0).writeRate, 0.0); EXPECT_EQ(drive(0).writeTrace, trace); }, 1, 13},
        {"the next tick measures from it", [&] { write("sdb", 81 * MiB, 1s); EXPECT_EQ(drive(0).writeRate, 1.0 * MiB); }, 1, 14},
    });
}

TEST_F(DriveMonitorTest, LostStatisticsShowNoRatesAndKeepTheHistory)
{
    start({"usb-disk", "broken-stat"}, stick + Mounts{{"/data", "/dev/sde"}},
          [](SysfsTree& t) { t.setAttribute("sde", "stat", "1 2 3 4 5 6 7 8 9 10\n"); });
    EXPECT_EQ(drive(1).readRate, std::nullopt);  // never had statistics
    monitor().setDetailed(true);
    tree().setCounters("sdb", {4 * MiB, 0});
    world->clock.advance(1s);
    const Drive before = drive(0);
    tree().setAttribute("sdb", "stat", "1 2 3\n");
    world->clock.advance(2s);
    EXPECT_EQ(std::make_pair(drive(0).readRate, drive(0).writeRate), std::make_pair(std::optional<double>(), std::optional<double>()));
    EXPECT_EQ(drive(0).readTrace, before.readTrace);
    EXPECT_EQ(drive(0).session, before.session);
    EXPECT_EQ(monitor().externalReadRate(), 0.0);
    EXPECT_EQ(drive(1).writeRate, std::nullopt);
    // Back again: the first reading has nothing to compare with, the next one does.
    tree().setCounters("sdb", {9 * MiB, 0});
    world->clock.advance(1s);
    EXPECT_EQ(drive(0).readRate, 0.0);
    EXPECT_EQ(drive(0).session.bytesRead, 9 * MiB);
    tree().setCounters("sdb", {10 * MiB, 0});
    world->clock.advance(1s);
    EXPECT_EQ(drive(0).readRate, 1.0 * MiB);
    EXPECT_EQ(samples, 5);
}

TEST_F(DriveMonitorTest, RebuildsKeepKnownDrivesAndStartNewSessionsForNewAttachments)
{
    start({"usb-disk", "nvme-internal"}, stick);
    monitor().setDetailed(true);
    write("sdb", 300 * MiB, 1s);
    const Drive known = drive(0);
    world->remount(stick + home + Mounts{{"/run/media/me/OTHER", "/dev/sdb2"}});
    ASSERT_EQ(monitor().drives().size(), 2);
    EXPECT_EQ(drive(0).session, known.session);
    EXPECT_EQ(drive(0).writeTrace, known.writeTrace);
    EXPECT_EQ(drive(0).volumeIDs, (QStringList{"/dev/sdb2", "/dev/sdb1"}));
    // Unplugged and plugged in again: a new diskseq makes a new drive with a fresh session.
    world->remount(home);
    tree().setAttribute("sdb", "diskseq", "13\n");
    world->remount(stick + home);
    ASSERT_EQ(monitor().drives().size(), 2);
    EXPECT_EQ(drive(0).id, "13");
    EXPECT_EQ(drive(0).writeTrace.values(), QList<double>(60, 0.0));
    write("sdb", 302 * MiB, 1s);
    EXPECT_EQ(drive(0).session, (IOCounters{0, 2 * MiB}));
    // Stopped: no more samples, no screen events, no rebuilds.
    const QPointer<ScreenEvents> events(screen);
    const int sampled = samples;
    monitor().stop();
    EXPECT_EQ(monitor().timerInterval(), std::nullopt);
    EXPECT_TRUE(events.isNull());
    world->clock.advance(30s);
    world->remount(home);
    EXPECT_EQ(std::make_pair(samples, monitor().drives().size()), std::make_pair(sampled, qsizetype(2)));
}

TEST_F(DriveMonitorTest, SamplesFeedRatesTracesSpaceAndFinishedWrites)
{
    start({"usb-disk", "sd-card", "nvme-internal"},
          stick + home + Mounts{{"/run/media/me/CARD", "/dev/mmcblk0p1"}});
    QList<std::pair<QString, FinishedTransfer>> finished;
    monitor().setOnTransferFinished([&](const Drive& d, const FinishedTransfer& f) { finished.append({d.id, f}); });
    monitor().setDetailed(true);
    const int readsBefore = world->capacities.reads("/run/media/me/STICK");
    // 30 s at 50 MiB/s to the stick, 2 MiB/s read from the card, 7 MiB/s to the internal disk.
    IOCounters stickIO, card, nvme;
    const auto tick = [&](quint64 stickWrite, quint64 cardRead) {
        stickIO.bytesWritten += stickWrite;
        card.bytesRead += cardRead;
        nvme.bytesWritten += 7 * MiB;
        tree().setCounters("sdb", stickIO);
        tree().setCounters("mmcblk0", card);
        tree().setCounters("nvme0n1", nvme);
        world->clock.advance(1s);
        world->settle();
    };
    tick(0, 0);
    for (int i = 0; i < 30; ++i)
        tick(50 * MiB, 2 * MiB);
    const auto rates = [&](const char* id) { return std::make_pair(monitor().drive(id)->readRate, monitor().drive(id)->writeRate); };
    EXPECT_EQ(rates("12"), std::make_pair(std::optional(0.0), std::optional(50.0 * MiB)));
    EXPECT_EQ(rates("7"), std::make_pair(std::optional(2.0 * MiB), std::optional(0.0)));
    EXPECT_EQ(rates("3"), std::make_pair(std::optional(0.0), std::optional(7.0 * MiB)));
    EXPECT_EQ(std::make_pair(monitor().externalReadRate(), monitor().externalWriteRate()), std::make_pair(2.0 * MiB, 50.0 * MiB));
    EXPECT_EQ(monitor().drive("12")->session.bytesWritten, 1500 * MiB);
    // Free space follows the write; the card was only read.
    EXPECT_GE(world->capacities.reads("/run/media/me/STICK") - readsBefore, 20);
    EXPECT_EQ(world->capacities.reads("/run/media/me/CARD"), 1);
    // External drives only, oldest first, padded with zeros.
    EXPECT_EQ(monitor().externalTrace(28), std::make_pair(QList<double>(28, 2.0 * MiB), QList<double>(28, 50.0 * MiB)));
    EXPECT_EQ(monitor().externalTrace(62).second, QList<double>(30, 0.0) + QList<double>(30, 50.0 * MiB) + QList<double>(2, 0.0));
    EXPECT_TRUE(monitor().externalTrace(-1).first.isEmpty());

    // Quiet with a trickle: reported on the first sample 10 s into the quiet run.
    for (int i = 0; i < 10; ++i)
        tick(100'352, 0);
    EXPECT_TRUE(finished.isEmpty());
    tick(100'352, 0);
    ASSERT_EQ(finished.size(), 1);
    EXPECT_EQ(finished[0].first, "12");
    EXPECT_EQ(finished[0].second, (FinishedTransfer{1500 * MiB + 11 * 100'352, 30s}));
    EXPECT_FALSE(monitor().drive("12")->writeSession.isOpen());
    EXPECT_EQ(samples, 42);
}

TEST(DriveValues, CountersDevicesAndRingBuffers)
{
    const quint64 max = std::numeric_limits<quint64>::max();
    EXPECT_EQ(IOCounters::delta({5, 10}, {7, 4}), (IOCounters{0, 6}));  // differences saturate, sums wrap
    EXPECT_EQ(IOCounters::delta({max, 1}, {0, max}), (IOCounters{max, 0}));
    EXPECT_EQ((IOCounters{max, 3} + IOCounters{2, 4}), (IOCounters{1, 7}));

    // Ordered by driver ID alone, but equal only with the same name.
    const BlockDevice a{3, "sdz"}, b{7, "sda"}, sameID{3, "sdy"};
    EXPECT_TRUE(a < b && !(b < a) && !(a < sameID) && !(sameID < a) && a != sameID);
    EXPECT_EQ((QSet<BlockDevice>{a, sameID, a}).size(), 2);

    RingBuffer<double> buffer(3, 0.0);
    EXPECT_EQ(buffer.values(), (QList<double>{0, 0, 0}));
    for (double v : {1, 2, 3, 4})
        buffer.push(v);
    EXPECT_EQ(buffer.values(), (QList<double>{2, 3, 4}));
    EXPECT_EQ(QList<QList<double>>({buffer.recent(2), buffer.recent(10), buffer.recent(0), buffer.recent(-5)}),
              QList<QList<double>>({{3, 4}, {2, 3, 4}, {}, {}}));
    EXPECT_EQ(std::make_pair(buffer.latest(), buffer.head()), std::make_pair(4.0, qsizetype(1)));
    RingBuffer<double> degenerate(0, 9.0);
    degenerate.push(5);
    EXPECT_EQ(std::make_pair(degenerate.capacity(), degenerate.values()), std::make_pair(qsizetype(1), QList<double>{5}));
}

TEST(DriveValues, TransfersStartAfterThreeSecondsHighAndEndAfterTenSecondsLow)
{
    // Each sample: time (ms), rate, whether update() reports a change, active and pending after it.
    // Exactly the threshold is low; one low sample restarts the count, one high one the quiet count.
    const struct { int ms; double rate; bool changed, active, pending; } steps[] = {
        {0, 1e6, false, false, false},    {1000, 1e6 + 1, true, false, true}, {2000, 1e6, true, false, false},
        {3000, 5e6, true, false, true},   {5000, 5e6, false, false, true},    {6000, 5e6, true, true, false},
        {13000, 0, false, true, false},   {22000, 0, false, true, false},     {22500, 2e6, false, true, false},
        {23000, 0, false, true, false},   {32000, 0, false, true, false},     {33000, 0, true, false, false},
    };
    TransferDetector detector;
    for (const auto& step : steps) {
        EXPECT_EQ(detector.update(Clock::TimePoint{1h + std::chrono::milliseconds(step.ms)}, step.rate), step.changed) << step.ms;
        EXPECT_EQ(std::make_pair(detector.isActive, detector.isPending()), std::make_pair(step.active, step.pending)) << step.ms;
    }
    EXPECT_EQ(detector.belowSince, std::nullopt);
}

TEST(DriveValues, AWriteSessionEndsAfterTenQuietSecondsAndOnlyALargeOneIsReported)
{
    // Each sample: time (s), bytes written since the last one, rate; a finished write's bytes and seconds.
    const struct { int s; quint64 written; double rate; std::optional<FinishedTransfer> finished; } steps[] = {
        {0, 999'999'999, 2e6, {}}, {5, 0, 0, {}}, {15, 0, 0, {}},  // small: ends silently
        {20, 600'000'000, 2e6, {}}, {25, 0, 0, {}}, {30, 600'000'000, 2e6, {}}, {35, 0, 0, {}}, {44, 0, 0, {}},
        {45, 0, 0, FinishedTransfer{1'200'000'000, 15s}},
    };
    WriteSession session;
    for (const auto& step : steps) {
        EXPECT_EQ(session.update(step.written, Clock::TimePoint{1h + std::chrono::seconds(step.s)}, step.rate), step.finished) << step.s;
        if (step.s == 15) {
            EXPECT_EQ(session, WriteSession{});
        }
    }
}
