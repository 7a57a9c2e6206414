#include "Notifications/Notifier.h"
#include "Platform/Linux/LinuxNotificationServer.h"

#include "Drives/Drive.h"

#include "NotifierRig.h"
#include "support/PrivateSessionBus.h"

#include <gtest/gtest.h>

using namespace mallowby;
using namespace mallowby::test;
using namespace std::chrono_literals;

namespace {

using Authorization = NotificationServer::Authorization;

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
    // Three in a row: the third overtakes the second while the first is on its way, then replaces the first.
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

    // Withdrawn when shown; while on its way (the one queued behind dropped); on its way and posted again.
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
