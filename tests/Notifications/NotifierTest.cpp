#include "Notifications/FlushNotices.h"
#include "Notifications/LowSpaceWatch.h"
#include "Notifications/Notifier.h"
#include "Platform/Linux/LinuxNotificationServer.h"

#include "Drives/Drive.h"

#include "support/FlushRig.h"
#include "support/Printers.h"
#include "support/PrivateSessionBus.h"
#include "support/ScriptedNotificationServer.h"
#include "support/TestEnvironment.h"
#include "support/TestWorld.h"

#include <QSignalSpy>

#include <gtest/gtest.h>

using namespace mallowby;
using namespace mallowby::test;
using namespace std::chrono_literals;

namespace {

using Authorization = NotificationServer::Authorization;
using Notice = NotificationServer::Notice;
constexpr qint64 GB = TestWorld::GB;
const QString backup = QStringLiteral("/run/media/me/Backup");

// The world over a USB stick (Backup, 500 GB, 100 free), the internal NVMe disk (/, 1 TB, 400
// free) and an NFS share (100 GB, 50 free), with a notifier posting to a fake server.
class NotifierTest : public ::testing::Test {
protected:
    NotifierTest() : world({QStringLiteral("usb-disk"), QStringLiteral("nvme-internal")})
    {
        world.fake.table->mounts = {FakeVolumePlatform::mount(backup, "/dev/sdb1"), FakeVolumePlatform::mount("/", "/dev/nvme0n1p2"),
                                    VolumeStore::Mount{"/mnt/share", "server:/share", "nfs", false, 0, false}};
        setSpace(backup, 500, 100 * GB);
        setSpace("/", 1000, 400 * GB);
        setSpace("/mnt/share", 100, 50 * GB);
    }
    void start(std::shared_ptr<NotificationServer> to = {})
    {
        ASSERT_TRUE(world.tree.isReady()) << world.tree.error().toStdString();
        world.startStore();
        world.startMonitor();
        world.startNotifier(to ? to : server);
        ASSERT_EQ(world.store->volumes().size(), 3);
        ASSERT_TRUE(world.waitForFigures());
    }
    void setSpace(const QString& path, qint64 totalGB, qint64 available) { world.capacities.set(path, Space{totalGB * GB, available, available, false}); }
    bool fill(const QString& path, qint64 totalGB, qint64 available) { return world.fill(path, totalGB * GB, available); }
    // "title | body" of each notice, "(elsewhere)" when not under `identifier`, "(sound)" with one.
    QStringList shown(const QString& identifier = {}) const
    {
        QStringList list;
        for (const Notice& n : server->posted)
            list << n.title + " | " + n.body + (identifier.isEmpty() || n.identifier == identifier ? "" : " (elsewhere)") + (n.withSound ? " (sound)" : "");
        return list;
    }
    bool authorizedIs(Authorization expected)
    {
        return TestEnvironment::waitUntil([&] { return world.notifier->authorization() == expected; }, 5s);
    }

    TestWorld world;
    std::shared_ptr<ScriptedNotificationServer> server = [] {
        auto server = std::make_shared<ScriptedNotificationServer>();
        server->status = server->answer = Authorization::authorized;
        return server;
    }();
    const Drive stick = [] {
        Drive d;
        d.id = "3";
        d.name = "Stick";
        return d;
    }();
};

} // namespace

TEST_F(NotifierTest, LowSpaceIsWatchedAlwaysAndAnnouncedOnlyOnAFallPastTheBand)
{
    start();
    const auto low = [&](const char* source) { return world.notifier->lowSpace().low.value(source, false); };
    const auto watched = [&](const char* source) { return world.notifier->lowSpace().low.contains(source); };
    SCOPED_TRACE("off: the watch keeps up, hidden shares are never watched");
    ASSERT_TRUE(fill(backup, 500, 1 * GB));
    ASSERT_TRUE(fill("/mnt/share", 100, 1 * GB));
    EXPECT_TRUE(low("/dev/sdb1") && !watched("server:/share"));
    SCOPED_TRACE("turning on, showing shares or raising the threshold announces nothing already low");
    world.preferences->setNotifyLowSpace(true);
    world.preferences->setVolumesShown({VolumeKind::external, VolumeKind::network, VolumeKind::internal});
    ASSERT_TRUE(fill("/mnt/share", 100, 0));
    EXPECT_TRUE(low("server:/share"));
    ASSERT_TRUE(fill("/", 1000, 150 * GB));
    world.preferences->setLowSpaceThreshold(LowSpaceThreshold::percent(20));
    ASSERT_TRUE(fill("/", 1000, 149 * GB));
    SCOPED_TRACE("hiding a kind forgets it; a fall while hidden is not announced");
    world.preferences->setVolumesShown({VolumeKind::internal});
    ASSERT_TRUE(fill(backup, 500, 400 * GB));
    ASSERT_TRUE(fill(backup, 500, 1 * GB));
    EXPECT_FALSE(watched("/dev/sdb1"));
    EXPECT_EQ(shown(), QStringList{});
    SCOPED_TRACE("shown again: down, lower, up inside the band, down again is one notice");
    world.preferences->setVolumesShown({VolumeKind::external, VolumeKind::diskImage, VolumeKind::internal});
    world.preferences->setLowSpaceThreshold(LowSpaceThreshold::percent(10));
    for (const qint64 available : {56 * GB, 4'200'000'000ll, 4'100'000'000ll, 54 * GB, 3 * GB})
        ASSERT_TRUE(fill(backup, 500, available));
    SCOPED_TRACE("clear of the band, then down: a second notice, in the units of the moment");
    ASSERT_TRUE(fill(backup, 500, 56 * GB));
    world.preferences->setUnits(ByteUnits::binary);
    ASSERT_TRUE(fill(backup, 500, 2 * GB));
    SCOPED_TRACE("a gigabyte threshold names itself; changing it or the units announces nothing");
    world.preferences->setLowSpaceThreshold(LowSpaceThreshold::gigabytes(500));
    world.preferences->setUnits(ByteUnits::decimal);
    ASSERT_TRUE(fill("/", 1000, 600 * GB));
    ASSERT_TRUE(fill("/", 1000, 499 * GB));
    EXPECT_EQ(server->posted, (QList<Notice>{{"low-space-/dev/sdb1", "Backup is low on space", "4.2 GB free of 500 GB, below 10 %.", false},
                                             {"low-space-/dev/sdb1", "Backup is low on space", "1.9 GiB free of 466 GiB, below 10 %.", false},
                                             {"low-space-/dev/nvme0n1p2", "/ is low on space", "499 GB free of 1.0 TB, below 500 GB.", false}}));
}

TEST_F(NotifierTest, WhileTheNoticeIsOnNearVolumesAreReadEveryTwoSecondsAndTheRestEveryHalfMinute)
{
    start();
    // The volumes read in each 2-second step, each once (two timers due at one instant may both read one).
    const auto readsAfter = [&](std::chrono::seconds time) {
        QStringList read;
        for (auto elapsed = 0s; elapsed < time; elapsed += 2s) {
            QHash<QString, int> before;
            for (const QString& path : {backup, QStringLiteral("/"), QStringLiteral("/mnt/share")})
                before.insert(path, world.capacities.reads(path));
            world.clock.advance(2s);
            world.settleReads();
            for (auto it = before.cbegin(); it != before.cend(); ++it)
                if (world.capacities.reads(it.key()) > it.value())
                    read << it.key();
        }
        read.sort();
        return read;
    };
    EXPECT_EQ(readsAfter(60s), QStringList{}) << "off: nothing reads the figures";
    // On, at 10 %: the backup (50 GB above) is near, / (300 GB above) far, the share hidden; unchanged reads publish nothing.
    world.preferences->setNotifyLowSpace(true);
    const int publications = world.publications;
    EXPECT_EQ(readsAfter(28s), QStringList(14, backup));
    EXPECT_EQ(readsAfter(2s), (QStringList{"/", backup}));
    EXPECT_EQ(world.publications, publications);
    // A fall is announced at the next near read; new figures alone rebuild no drive (it would take the new diskseq as id).
    world.tree.setAttribute("sdb", "diskseq", "99\n");
    setSpace(backup, 500, 1 * GB);
    EXPECT_EQ(readsAfter(2s), QStringList{backup});
    ASSERT_TRUE(TestEnvironment::waitUntil([&] { return server->posted.size() == 1; }, 5s));
    world.settle();
    EXPECT_NE(world.monitor->drive("12"), nullptr);
    // Far from the threshold again: back to the half-minute reads.
    setSpace(backup, 500, 400 * GB);
    EXPECT_EQ(readsAfter(26s), QStringList{backup});
    EXPECT_EQ(readsAfter(2s), (QStringList{"/", backup}));
    world.preferences->setNotifyLowSpace(false);
    EXPECT_EQ(readsAfter(60s), QStringList{});
}

TEST_F(NotifierTest, LargeWritesAreAnnouncedUnderIdentifiersOfTheirOwn)
{
    world.preferences->setNotifyTransferFinished(true);
    start();
    world.notifier->transferFinished(stick, FinishedTransfer{12'300'000'000, 125s});
    // Counts beyond the signed range are shown as the largest signed size.
    world.notifier->transferFinished(stick, FinishedTransfer{std::numeric_limits<quint64>::max(), 3h + 59min + 59s + 600ms});
    ASSERT_EQ(server->posted.size(), 2);
    EXPECT_TRUE(server->posted[0].identifier.startsWith("transfer-3-") && server->posted[0].withSound);
    EXPECT_NE(server->posted[0].identifier, server->posted[1].identifier);
    EXPECT_EQ(shown(), (QStringList{"Finished writing to Stick | 12.3 GB in 2 min, 5 sec. (sound)", "Finished writing to Stick | 9223 PB in 4 hr. (sound)"}));
    server->posted.clear();

    // Through the monitor: 1 953 124 sectors are 999 999 488 bytes, not a large write; one sector more is.
    world.monitor->setDetailed(true);
    IOCounters counters;
    const auto write = [&](quint64 sectors, int seconds) {
        for (int i = 0; i < seconds; ++i) {
            counters.bytesWritten += sectors * 512;
            world.tree.setCounters("sdb", counters);
            world.clock.advance(1s);
        }
    };
    for (const auto& [sectors, seconds] : {std::pair{0, 1}, {488'281, 4}, {0, 11}, {488'282, 1}, {488'281, 3}, {0, 11}})
        write(sectors, seconds);
    EXPECT_EQ(shown(), QStringList{"Finished writing to SanDisk Cruzer Blade | 1.0 GB in 4 sec. (sound)"});
    // Switched off, or without the notifier, nothing more is posted.
    world.preferences->setNotifyTransferFinished(false);
    world.notifier->transferFinished(stick, FinishedTransfer{2'000'000'000, 10s});
    world.preferences->setNotifyTransferFinished(true);
    world.notifier.reset();
    write(488'282, 4);
    write(0, 11);
    EXPECT_EQ(server->posted.size(), 1);
}

namespace {

// A volume with figures of `total` bytes, or without any (`available` none).
Volume volume(const QString& id, std::optional<qint64> available, bool stale = false, qint64 total = 1000)
{
    Volume v;
    v.id = v.name = id;
    v.kind = VolumeKind::external;
    if (available)
        v.space = Space{total, *available, *available, stale};
    return v;
}

QStringList ids(const QList<Volume>& volumes)
{
    QStringList list;
    for (const Volume& v : volumes)
        list << v.id;
    return list;
}

const auto p10 = LowSpaceThreshold::percent(10);
const auto p20 = LowSpaceThreshold::percent(20);

} // namespace

TEST(LowSpaceWatch, ThresholdChangesStaleFiguresAndLeavingVolumes)
{
    struct Step {
        QList<Volume> volumes;
        LowSpaceThreshold threshold;
        QStringList announced;
        QHash<QString, bool> low;
    };
    const std::vector<std::pair<const char*, QList<Step>>> rows{
        {"a new threshold sees every volume afresh; one equal to it read from text is none",
         {{{volume("v", 150)}, p10, {}, {{"v", false}}},
          {{volume("v", 150)}, p20, {}, {{"v", true}}},
          {{volume("v", 300)}, *LowSpaceThreshold::fromRawValue("percent:20"), {}, {{"v", false}}},
          {{volume("v", 150)}, p20, {"v"}, {{"v", true}}}}},
        {"stale or missing figures keep the flag",
         {{{volume("v", 500), volume("w", 50)}, p10, {}, {{"v", false}, {"w", true}}},
          {{volume("v", 50, true), volume("w", std::nullopt)}, p10, {}, {{"v", false}, {"w", true}}},
          {{volume("v", 50), volume("w", 50)}, p10, {"v"}, {{"v", true}, {"w", true}}}}},
        {"never seen fresh: left out, so the first fresh figures only record",
         {{{volume("x", 50, true), volume("y", std::nullopt)}, p10, {}, {}},
          {{volume("x", 50), volume("y", 50)}, p10, {}, {{"x", true}, {"y", true}}}}},
        {"a later unknown duplicate takes back what an earlier one recorded", {{{volume("d", 500), volume("d", std::nullopt)}, p10, {}, {}}}},
        {"leaving volumes are forgotten and falls come in list order; mounted again, already low, is new",
         {{{volume("v", 500), volume("a", 500), volume("b", 500), volume("c", 500)}, p10, {}, {{"v", false}, {"a", false}, {"b", false}, {"c", false}}},
          {{volume("c", 10), volume("a", 10), volume("b", 500)}, p10, {"c", "a"}, {{"c", true}, {"a", true}, {"b", false}}},
          {{volume("v", 50)}, p10, {}, {{"v", true}}}}},
    };
    for (const auto& [name, steps] : rows) {
        LowSpaceWatch watch;
        for (qsizetype i = 0; i < steps.size(); ++i) {
            SCOPED_TRACE(std::string(name) + ", step " + std::to_string(i));
            EXPECT_EQ(ids(watch.evaluate(steps[i].volumes, steps[i].threshold)), steps[i].announced);
            EXPECT_EQ(watch.low, steps[i].low);
            EXPECT_EQ(watch.threshold, steps[i].threshold);
        }
    }
}

TEST(NotifierText, DurationsAndTransferIdentifiers)
{
    for (const auto& [duration, text] : std::vector<std::pair<std::chrono::milliseconds, const char*>>{
             {0s, "0 sec"}, {-5s, "0 sec"}, {499ms, "0 sec"}, {500ms, "1 sec"}, {125s, "2 min, 5 sec"}, {120s, "2 min"}, {1h + 5s, "1 hr, 5 sec"},
             {2h + 3min + 4s, "2 hr, 3 min"}, {59min + 59s + 500ms, "1 hr"}, {30h + 1min, "30 hr, 1 min"}})
        EXPECT_EQ(Notifier::durationText(duration), text) << duration.count();
    EXPECT_EQ(QStringList({Notifier::transferIdentifier("12", 1712345678.125), Notifier::transferIdentifier("1+2", 1712345678.0),
                           Notifier::transferIdentifier("7", 0.1)}),
              QStringList({"transfer-12-1712345678.125", "transfer-1+2-1712345678.0", "transfer-7-0.1"}));
}

TEST_F(NotifierTest, AuthorizationIsRequestedOnlyWhileUndeterminedAndANoticeWaitsForANewServersAnswer)
{
    server->status = Authorization::notDetermined;
    server->answer = Authorization::denied;
    world.preferences->setNotifyTransferFinished(true);
    start();
    QSignalSpy changes(world.notifier.get(), &Notifier::authorizationChanged);
    EXPECT_EQ(world.notifier->authorization(), Authorization::notDetermined);
    // Undetermined: ask, then read the answer; decided: only read again, and an unchanged status says nothing.
    for (const auto& [requests, reads] : {std::pair{1, 3}, std::pair{1, 4}}) {
        TestEnvironment::await([](Notifier& n) -> QCoro::Task<bool> {
            co_await n.requestAuthorization();
            co_return true;
        }(*world.notifier));
        EXPECT_EQ(std::tuple(server->requests, server->reads, world.notifier->authorization(), changes.size()),
                  std::tuple(requests, reads, Authorization::denied, 1));
    }
    // A server appears; a transfer ends while it is being asked.
    ASSERT_TRUE(server->serverChanged);
    server->status = Authorization::authorized;
    server->delay = 200ms;
    server->serverChanged();
    world.notifier->transferFinished(stick, FinishedTransfer{1'000'000'000, 3s});
    EXPECT_TRUE(server->posted.isEmpty());
    ASSERT_TRUE(TestEnvironment::waitUntil([&] { return server->posted.size() == 1; }, 5s));
    // It goes away; a read that answers "denied" drops what waited for it.
    server->status = Authorization::denied;
    server->serverChanged();
    ASSERT_TRUE(authorizedIs(Authorization::denied));
    server->serverChanged();
    world.notifier->transferFinished(stick, FinishedTransfer{2'000'000'000, 3s});
    EXPECT_FALSE(TestEnvironment::waitUntil([&] { return server->posted.size() > 1; }, 500ms));
    EXPECT_EQ(shown(), QStringList{"Finished writing to Stick | 1.0 GB in 3 sec. (sound)"});
}

TEST_F(NotifierTest, EjectsThatWriteLongAreAnnouncedAndConcluded)
{
    constexpr quint64 MB = FlushRig::MB;
    FlushRig flush{world.clock};
    ASSERT_TRUE(flush.isReady());
    world.preferences->setNotifyTransferFinished(true);
    start();
    FlushNotices notices(*flush.watch, *world.notifier, *world.preferences, world.clock);
    quint64 written = 0, pending = 0;
    // A held eject of the fixture stick with 300 MB in the cache.
    const auto startEject = [&] {
        *flush.ejected = std::nullopt;
        flush.setWritten(written);
        flush.setPending(pending = 300 * MB);
        flush.eject(flush.stick);
    };
    // The drive writes 10 MB every half second, `steps` times, and the cache shrinks by as much.
    const auto write = [&](int steps) {
        for (int i = 0; i < steps; ++i) {
            flush.setWritten(written += 10 * MB);
            flush.setPending(pending -= 10 * MB);
            world.clock.advance(500ms);
        }
    };
    const auto release = [&] {
        flush.release();
        return TestEnvironment::waitUntil([&] { return flush.ejected->has_value(); }, 2s);
    };
    const QString id = FlushNotices::identifier("12");
    startEject();
    // Shown 1.5 s after the first rate (second sample), replaced as the figure falls, at most once a second.
    for (const auto& [steps, count] : {std::pair{4, 0}, std::pair{1, 1}, std::pair{2, 2}, std::pair{2, 3}, std::pair{1, 3}}) {
        write(steps);
        EXPECT_EQ(server->posted.size(), count) << "after " << written / MB << " MB";
    }
    ASSERT_TRUE(release());
    EXPECT_EQ(shown(id), (QStringList{"Writing data to Stick | Don't unplug it until this finishes. 250 MB left, about 13 s.",
                                      "Writing data to Stick | Don't unplug it until this finishes. 230 MB left, about 12 s.",
                                      "Writing data to Stick | Don't unplug it until this finishes. 210 MB left, about 11 s.",
                                      "Stick can be unplugged |  (sound)"}));
    EXPECT_TRUE(server->withdrawn.isEmpty());
    server->posted.clear();

    SCOPED_TRACE("a failed eject takes its notice down");
    flush.disks->answers["sdb"] = Dissent{Dissent::unknownError, QStringLiteral("I/O error")};
    startEject();
    write(5);
    ASSERT_TRUE(release());
    EXPECT_EQ(server->withdrawn, QStringList{id});
    SCOPED_TRACE("writing for 1.5 s and no more, then ejected: nothing to announce");
    flush.disks->answers.clear();
    startEject();
    write(4);
    ASSERT_TRUE(release());
    EXPECT_EQ(server->posted.size(), 1);
    SCOPED_TRACE("switched off: nothing; on during the eject: shown; off again: the end is still told");
    server->posted.clear();
    world.preferences->setNotifyTransferFinished(false);
    startEject();
    write(8);
    EXPECT_TRUE(server->posted.isEmpty());
    world.preferences->setNotifyTransferFinished(true);
    write(1);
    EXPECT_EQ(server->posted.size(), 1);
    world.preferences->setNotifyTransferFinished(false);
    write(4);
    ASSERT_TRUE(release());
    EXPECT_EQ(shown(id).value(1), "Stick can be unplugged |  (sound)");
}

namespace {

// What the daemon was asked to show: "body" or "body (replaces N)", in order.
QStringList shownOn(const PrivateSessionBus& bus)
{
    QStringList list;
    for (const NotifyCall& call : bus.notifyCalls())
        list << call.body + (call.replacesID ? QStringLiteral(" (replaces %1)").arg(call.replacesID) : QString());
    return list;
}

// dbusmock's notification daemon on a private session bus, and the real server over it.
class NotifierOnTheSessionBus : public NotifierTest {
protected:
    void SetUp() override
    {
        if (const auto missing = bus.unavailable())
            GTEST_SKIP() << missing->toStdString();
    }
    Authorization authorizationOf(LinuxNotificationServer& of) { return TestEnvironment::await(of.authorization()).value_or(Authorization::notDetermined); }

    PrivateSessionBus bus;
    std::shared_ptr<LinuxNotificationServer> real = std::make_shared<LinuxNotificationServer>(bus.connection());
};

} // namespace

TEST_F(NotifierOnTheSessionBus, ADaemonThatStartsLateOrRestartsIsFollowedWithoutAskingAgain)
{
    LinuxNotificationServer unconnected(QDBusConnection(QStringLiteral("no such connection")));
    EXPECT_EQ(authorizationOf(unconnected), Authorization::denied);
    unconnected.post({"x", "title", "body", true});
    EXPECT_FALSE(unconnected.serverID("x"));
    EXPECT_EQ(authorizationOf(*real), Authorization::denied) << "no daemon";
    EXPECT_FALSE(TestEnvironment::await(real->requestAuthorization()).value_or(true)) << "no daemon";
    world.preferences->setNotifyLowSpace(true);
    world.preferences->setNotifyTransferFinished(true);
    start(real);
    ASSERT_TRUE(authorizedIs(Authorization::denied));
    world.notifier->transferFinished(stick, FinishedTransfer{1'000'000'000, 3s});  // no server: dropped, not kept for later
    // The server comes up after the app: used without a request or a visit to the settings.
    ASSERT_TRUE(bus.startDaemon()) << bus.daemonError().toStdString();
    ASSERT_TRUE(authorizedIs(Authorization::authorized));
    ASSERT_TRUE(fill(backup, 500, 4'200'000'000));
    ASSERT_TRUE(waitForCalls(bus, 1));
    EXPECT_EQ(bus.notifyCalls().at(0).title, "Backup is low on space");
    EXPECT_TRUE(TestEnvironment::waitUntil([&] { return real->serverID("low-space-/dev/sdb1").has_value(); }, 5s));
    // It goes away: denied again, and the old server's ids are forgotten.
    bus.stopDaemon();
    ASSERT_TRUE(authorizedIs(Authorization::denied));
    EXPECT_FALSE(real->serverID("low-space-/dev/sdb1"));
    // A new server: the next notice under the same identifier is a new notice there.
    ASSERT_TRUE(bus.startDaemon()) << bus.daemonError().toStdString();
    ASSERT_TRUE(authorizedIs(Authorization::authorized));
    ASSERT_TRUE(fill(backup, 500, 100 * GB));
    ASSERT_TRUE(fill(backup, 500, 3 * GB));
    ASSERT_TRUE(waitForCalls(bus, 1));
    EXPECT_EQ(shownOn(bus), QStringList{"3.0 GB free of 500 GB, below 10 %."});
}

// A daemon that takes its time over every Notify.
TEST_F(NotifierOnTheSessionBus, NoticesOnTheirWayAreReplacedOrWithdrawnInOrder)
{
    ASSERT_TRUE(bus.startDaemon()) << bus.daemonError().toStdString();
    ASSERT_TRUE(bus.slowDown());
    ASSERT_EQ(authorizationOf(*real), Authorization::authorized);
    // Three in a row: the third overtakes the second while the first is on its way, then replaces the first.
    for (const char* body : {"one", "two", "three"})
        real->post({"low-space-A", "A is low on space", body, false});
    real->post({"low-space-B", "B is low on space", "other", false});
    ASSERT_TRUE(waitForCalls(bus, 3));
    EXPECT_FALSE(TestEnvironment::waitUntil([&] { return bus.notifyCalls().size() > 3; }, 700ms));
    const auto a = real->serverID("low-space-A");
    ASSERT_TRUE(a.has_value());
    EXPECT_EQ(shownOn(bus), (QStringList{"one", "other", QStringLiteral("three (replaces %1)").arg(*a)}));
    EXPECT_NE(real->serverID("low-space-B"), a);
    // A notice the user closed is gone: the next one under its identifier is a new one.
    bus.close(*a);
    ASSERT_TRUE(TestEnvironment::waitUntil([&] { return !real->serverID("low-space-A"); }, 5s));
    real->post({"low-space-A", "A is low on space", "four", false});
    ASSERT_TRUE(waitForCalls(bus, 4));
    EXPECT_EQ(shownOn(bus).last(), "four");

    // Withdrawn when shown; while on its way (the one queued behind dropped); on its way and posted again.
    real->post({"flush-1", "Writing data to A", "five", false});
    ASSERT_TRUE(TestEnvironment::waitUntil([&] { return real->serverID("flush-1").has_value(); }, 5s));
    const uint first = *real->serverID("flush-1");
    real->withdraw("flush-1");
    EXPECT_FALSE(real->serverID("flush-1"));
    real->post({"flush-2", "Writing data to B", "six", false});
    real->post({"flush-2", "Writing data to B", "seven", false});
    real->withdraw("flush-2");
    real->post({"flush-3", "Writing data to C", "eight", false});
    real->withdraw("flush-3");
    real->post({"flush-3", "C can be unplugged", "", true});
    // (The first close was the user's.)
    ASSERT_TRUE(TestEnvironment::waitUntil([&] { return bus.closeCalls().size() >= 3 && bus.notifyCalls().size() >= 8; }, 5s));
    EXPECT_FALSE(TestEnvironment::waitUntil([&] { return bus.closeCalls().size() > 3 || bus.notifyCalls().size() > 8; }, 700ms));
    const auto third = real->serverID("flush-3");
    ASSERT_TRUE(third && !real->serverID("flush-2"));
    EXPECT_EQ(shownOn(bus).mid(4), (QStringList{"five", "six", "eight", QStringLiteral(" (replaces %1)").arg(*third)}));
    EXPECT_EQ(bus.closeCalls().mid(1).size(), 2);
    EXPECT_EQ(bus.closeCalls().value(1), first);
    EXPECT_NE(bus.closeCalls().value(2), first);
}
