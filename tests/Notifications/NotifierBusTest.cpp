#include "Notifications/FlushNotices.h"
#include "Notifications/Notifier.h"
#include "Platform/Linux/LinuxNotificationServer.h"

#include "Drives/Drive.h"

#include "NotifierRig.h"
#include "support/FlushRig.h"
#include "support/PrivateSessionBus.h"

#include <gtest/gtest.h>

using namespace mallowby;
using namespace mallowby::test;
using namespace std::chrono_literals;

namespace {

using Authorization = NotificationServer::Authorization;
constexpr quint64 MB = FlushRig::MB;

Authorization authorizationOf(LinuxNotificationServer& server)
{
    return TestEnvironment::await(server.authorization()).value_or(Authorization::notDetermined);
}

// What the daemon was asked to show: "body" or "body (replaces N)", in order.
QStringList shown(const PrivateSessionBus& bus)
{
    QStringList list;
    for (const NotifyCall& call : bus.notifyCalls())
        list << call.body + (call.replacesID ? QStringLiteral(" (replaces %1)").arg(call.replacesID) : QString());
    return list;
}

// dbusmock's notification daemon on a private session bus, and a server over it.
class NotifierOnTheSessionBus : public ::testing::Test {
protected:
    void SetUp() override
    {
        if (const auto missing = bus.unavailable())
            GTEST_SKIP() << missing->toStdString();
        server = std::make_shared<LinuxNotificationServer>(bus.connection());
    }
    bool authorizedIs(Authorization expected)
    {
        return TestEnvironment::waitUntil([&] { return rig.notifier->authorization() == expected; }, 5s);
    }

    PrivateSessionBus bus;
    NotifierRig rig;
    std::shared_ptr<LinuxNotificationServer> server;
};

} // namespace

TEST_F(NotifierOnTheSessionBus, ADaemonThatStartsLateOrRestartsIsFollowedWithoutAskingAgain)
{
    rig.preferences->setNotifyLowSpace(true);
    rig.preferences->setNotifyTransferFinished(true);
    ASSERT_TRUE(rig.start(server)) << rig.tree.error().toStdString();
    ASSERT_TRUE(authorizedIs(Authorization::denied));
    Drive drive;
    drive.name = "Stick";
    rig.notifier->transferFinished(drive, FinishedTransfer{1'000'000'000, 3s});  // no server: dropped, not kept for later
    // The server comes up after the app: used without a request or a visit to the settings.
    ASSERT_TRUE(bus.startDaemon()) << bus.daemonError().toStdString();
    ASSERT_TRUE(authorizedIs(Authorization::authorized));
    ASSERT_TRUE(rig.fill("/run/media/me/Backup", 500 * NotifierRig::GB, 4'200'000'000));
    ASSERT_TRUE(waitForCalls(bus, 1));
    EXPECT_EQ(bus.notifyCalls().at(0).title, "Backup is low on space");
    EXPECT_TRUE(TestEnvironment::waitUntil([&] { return server->serverID("low-space-/dev/sdb1").has_value(); }, 5s));
    // It goes away: denied again, and the old server's ids are forgotten.
    bus.stopDaemon();
    ASSERT_TRUE(authorizedIs(Authorization::denied));
    EXPECT_FALSE(server->serverID("low-space-/dev/sdb1"));
    // A new server: the next notice under the same identifier is a new notice there.
    ASSERT_TRUE(bus.startDaemon()) << bus.daemonError().toStdString();
    ASSERT_TRUE(authorizedIs(Authorization::authorized));
    ASSERT_TRUE(rig.fill("/run/media/me/Backup", 500 * NotifierRig::GB, 100 * NotifierRig::GB));
    ASSERT_TRUE(rig.fill("/run/media/me/Backup", 500 * NotifierRig::GB, 3 * NotifierRig::GB));
    ASSERT_TRUE(waitForCalls(bus, 1));
    EXPECT_EQ(shown(bus), QStringList{"3.0 GB free of 500 GB, below 10 %."});
}

TEST_F(NotifierOnTheSessionBus, NoBusOrNoDaemonIsDenied)
{
    LinuxNotificationServer unconnected(QDBusConnection(QStringLiteral("no such connection")));
    EXPECT_EQ(authorizationOf(unconnected), Authorization::denied);
    unconnected.post({"x", "title", "body", true});
    EXPECT_FALSE(unconnected.serverID("x"));
    EXPECT_EQ(authorizationOf(*server), Authorization::denied);
    EXPECT_FALSE(TestEnvironment::await(server->requestAuthorization()).value_or(true));
}

// A daemon that takes its time over every Notify.
TEST_F(NotifierOnTheSessionBus, NoticesOnTheirWayAreReplacedOrWithdrawnInOrder)
{
    ASSERT_TRUE(bus.startDaemon()) << bus.daemonError().toStdString();
    ASSERT_TRUE(bus.slowDown());
    ASSERT_EQ(authorizationOf(*server), Authorization::authorized);
    // Three in a row: the first goes out, the third overtakes the second while the first is on
    // its way, and replaces the first once its id is known.
    for (const char* body : {"one", "two", "three"})
        server->post({"low-space-A", "A is low on space", body, false});
    server->post({"low-space-B", "B is low on space", "other", false});
    ASSERT_TRUE(waitForCalls(bus, 3));
    EXPECT_FALSE(TestEnvironment::waitUntil([&] { return bus.notifyCalls().size() > 3; }, 700ms));
    const auto a = server->serverID("low-space-A");
    ASSERT_TRUE(a.has_value());
    EXPECT_EQ(shown(bus), (QStringList{"one", "other", QStringLiteral("three (replaces %1)").arg(*a)}));
    EXPECT_NE(server->serverID("low-space-B"), a);
    // A notice the user closed is gone: the next one under its identifier is a new one.
    bus.close(*a);
    ASSERT_TRUE(TestEnvironment::waitUntil([&] { return !server->serverID("low-space-A"); }, 5s));
    server->post({"low-space-A", "A is low on space", "four", false});
    ASSERT_TRUE(waitForCalls(bus, 4));
    EXPECT_EQ(shown(bus).last(), "four");

    // Shown, then taken down; taken down before the server answered, and the notice queued behind
    // it dropped; withdrawn while on its way, then posted again: the new one stands.
    server->post({"flush-1", "Writing data to A", "five", false});
    ASSERT_TRUE(TestEnvironment::waitUntil([&] { return server->serverID("flush-1").has_value(); }, 5s));
    const uint first = *server->serverID("flush-1");
    server->withdraw("flush-1");
    EXPECT_FALSE(server->serverID("flush-1"));
    server->post({"flush-2", "Writing data to B", "six", false});
    server->post({"flush-2", "Writing data to B", "seven", false});
    server->withdraw("flush-2");
    server->post({"flush-3", "Writing data to C", "eight", false});
    server->withdraw("flush-3");
    server->post({"flush-3", "C can be unplugged", "", true});
    // (The first close was the user's.)
    ASSERT_TRUE(TestEnvironment::waitUntil([&] { return bus.closeCalls().size() >= 3 && bus.notifyCalls().size() >= 8; }, 5s));
    EXPECT_FALSE(TestEnvironment::waitUntil([&] { return bus.closeCalls().size() > 3 || bus.notifyCalls().size() > 8; }, 700ms));
    const auto third = server->serverID("flush-3");
    ASSERT_TRUE(third && !server->serverID("flush-2"));
    EXPECT_EQ(shown(bus).mid(4), (QStringList{"five", "six", "eight", QStringLiteral(" (replaces %1)").arg(*third)}));
    const QList<uint> closed = bus.closeCalls().mid(1);
    ASSERT_EQ(closed.size(), 2);
    EXPECT_EQ(closed.first(), first);
    EXPECT_NE(closed.last(), first);
}

namespace {

// An eject of a fixture stick whose unmount the test holds, and the notices of its flush.
class FlushNoticesTest : public NotifierOnTheSessionBus {
protected:
    void SetUp() override
    {
        NotifierOnTheSessionBus::SetUp();
        if (IsSkipped())
            return;
        ASSERT_TRUE(bus.startDaemon()) << bus.daemonError().toStdString();
        ASSERT_TRUE(flush.isReady());
        rig.preferences->setNotifyTransferFinished(true);
        ASSERT_TRUE(rig.start(server)) << rig.tree.error().toStdString();
        ASSERT_TRUE(authorizedIs(Authorization::authorized));
        notices = std::make_unique<FlushNotices>(*flush.watch, *rig.notifier, *rig.preferences, rig.clock);
    }
    // The eject starts with 300 MB in the cache.
    void startEject()
    {
        *flush.ejected = std::nullopt;
        flush.setWritten(written);
        flush.setPending(pending = 300 * MB);
        flush.eject(flush.stick);
    }
    // The drive writes 10 MB every half second, `steps` times, and the cache shrinks by as much.
    void write(int steps)
    {
        for (int i = 0; i < steps; ++i) {
            flush.setWritten(written += 10 * MB);
            flush.setPending(pending -= 10 * MB);
            rig.clock.advance(500ms);
        }
    }
    // The unmount returns; true once the eject has answered.
    bool release()
    {
        flush.release();
        return TestEnvironment::waitUntil([&] { return flush.ejected->has_value(); }, 2s);
    }
    std::optional<uint> shownID()
    {
        TestEnvironment::waitUntil([&] { return server->serverID(FlushNotices::identifier("12")).has_value(); }, 5s);
        return server->serverID(FlushNotices::identifier("12"));
    }
    // Nothing more reaches the daemon.
    bool quiet(qsizetype calls) { return !TestEnvironment::waitUntil([&] { return bus.notifyCalls().size() > calls; }, 300ms); }

    FlushRig flush{rig.clock};
    std::unique_ptr<FlushNotices> notices;
    quint64 written = 0, pending = 0;
};

} // namespace

TEST_F(FlushNoticesTest, AnEjectWritingForMoreThanASecondAndAHalfIsAnnouncedThenReplacedWhenItCanBeUnplugged)
{
    startEject();
    // The first rate comes with the second sample; 1.5 s after that nothing is shown yet.
    write(4);
    EXPECT_TRUE(quiet(0));
    // Past 1.5 s of writing: shown, then replaced as the figure falls, at most once a second.
    for (const auto& [steps, calls] : {std::pair{1, 1}, std::pair{2, 2}, std::pair{2, 3}}) {
        write(steps);
        ASSERT_TRUE(waitForCalls(bus, calls));
    }
    write(1);
    EXPECT_TRUE(quiet(3));
    const auto id = shownID();
    ASSERT_TRUE(id);
    ASSERT_TRUE(release());
    ASSERT_TRUE(waitForCalls(bus, 4));
    const QString again = QStringLiteral(" (replaces %1)").arg(*id);
    EXPECT_EQ(shown(bus), (QStringList{"Don't unplug it until this finishes. 250 MB left, about 13 s.",
                                       "Don't unplug it until this finishes. 230 MB left, about 12 s." + again,
                                       "Don't unplug it until this finishes. 210 MB left, about 11 s." + again, again}));
    const QList<NotifyCall> calls = bus.notifyCalls();
    EXPECT_EQ(calls[0].title, "Writing data to Stick");
    EXPECT_TRUE(calls[0].hints.isEmpty());
    EXPECT_EQ(calls[3].title, "Stick can be unplugged");
    EXPECT_EQ(calls[3].hints.value("sound-name").toString(), "complete");
}

TEST_F(FlushNoticesTest, AFailedEjectTakesItsNoticeDownAndAShortOneShowsNone)
{
    flush.disks->unmountAnswer = Dissent{Dissent::unknownError, QStringLiteral("I/O error")};
    startEject();
    write(5);
    const auto id = shownID();
    ASSERT_TRUE(id);
    ASSERT_TRUE(release());
    ASSERT_TRUE(TestEnvironment::waitUntil([&] { return !bus.closeCalls().isEmpty(); }, 5s));
    EXPECT_EQ(bus.closeCalls(), QList<uint>{*id});
    EXPECT_FALSE(server->serverID(FlushNotices::identifier("12")));
    // Writing for 1.5 s and no more, then ejected: nothing to announce.
    flush.disks->unmountAnswer.reset();
    startEject();
    write(4);
    ASSERT_TRUE(release());
    EXPECT_TRUE(quiet(1));
}

TEST_F(FlushNoticesTest, NothingIsShownWithTheTransferSwitchOffButAShownNoticeIsConcluded)
{
    rig.preferences->setNotifyTransferFinished(false);
    startEject();
    write(8);
    EXPECT_TRUE(quiet(0));
    // Turned on during the eject: shown; turned off again: the end is still told.
    rig.preferences->setNotifyTransferFinished(true);
    write(1);
    ASSERT_TRUE(waitForCalls(bus, 1));
    rig.preferences->setNotifyTransferFinished(false);
    write(4);
    ASSERT_TRUE(release());
    ASSERT_TRUE(waitForCalls(bus, 2));
    EXPECT_EQ(bus.notifyCalls().last().title, "Stick can be unplugged");
}
