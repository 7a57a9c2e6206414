#include "Notifications/Notifier.h"
#include "Platform/Linux/LinuxNotificationServer.h"

#include "Drives/Drive.h"

#include "NotifierRig.h"
#include "support/PrivateSessionBus.h"
#include "support/StdoutCapture.h"

#include <QDBusArgument>
#include <QDBusConnection>
#include <QDBusConnectionInterface>
#include <QDBusMessage>
#include <QFileInfo>
#include <QProcess>

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

} // namespace

TEST(NotifierOnTheSessionBus, ADaemonThatStartsLateOrRestartsIsFollowedWithoutAskingAgain)
{
    PrivateSessionBus bus;
    if (const auto missing = bus.unavailable())
        GTEST_SKIP() << missing->toStdString();

    NotifierRig rig;
    rig.preferences->setNotifyLowSpace(true);
    rig.preferences->setNotifyTransferFinished(true);
    auto server = std::make_shared<LinuxNotificationServer>(bus.connection());
    ASSERT_TRUE(rig.start(server, true)) << rig.tree.error().toStdString();
    ASSERT_TRUE(TestEnvironment::waitUntil([&] { return rig.notifier->authorization() == Authorization::denied; }, 5s));

    Drive drive;
    drive.id = "7";
    drive.name = "Stick";
    StdoutCapture capture;
    // No server yet: echoed, not posted.
    rig.notifier->transferFinished(drive, FinishedTransfer{1'000'000'000, 3s});

    // The server comes up after the app: used without a request or a visit to the settings.
    ASSERT_TRUE(bus.startDaemon()) << bus.daemonError().toStdString();
    ASSERT_TRUE(TestEnvironment::waitUntil([&] { return rig.notifier->authorization() == Authorization::authorized; }, 5s));
    ASSERT_TRUE(rig.fill("/run/media/me/Backup", 500 * NotifierRig::GB, 4'200'000'000));
    ASSERT_TRUE(waitForCalls(bus, 1));
    EXPECT_EQ(bus.notifyCalls().at(0).title, "Backup is low on space");
    EXPECT_TRUE(TestEnvironment::waitUntil([&] { return server->serverID("low-space-/dev/sdb1").has_value(); }, 5s));

    // It goes away: denied again, and the old server's ids are forgotten.
    bus.stopDaemon();
    ASSERT_TRUE(TestEnvironment::waitUntil([&] { return rig.notifier->authorization() == Authorization::denied; }, 5s));
    EXPECT_FALSE(server->serverID("low-space-/dev/sdb1"));

    // A new server: the next notice under the same identifier is a new notice there.
    ASSERT_TRUE(bus.startDaemon()) << bus.daemonError().toStdString();
    ASSERT_TRUE(TestEnvironment::waitUntil([&] { return rig.notifier->authorization() == Authorization::authorized; }, 5s));
    ASSERT_TRUE(rig.fill("/run/media/me/Backup", 500 * NotifierRig::GB, 100 * NotifierRig::GB));
    ASSERT_TRUE(rig.fill("/run/media/me/Backup", 500 * NotifierRig::GB, 3 * NotifierRig::GB));
    ASSERT_TRUE(waitForCalls(bus, 1));
    const QString out = capture.finish();

    const QList<NotifyCall> calls = bus.notifyCalls();
    ASSERT_EQ(calls.size(), 1);
    EXPECT_EQ(calls[0].body, "3.0 GB free of 500 GB, below 10 %.");
    EXPECT_EQ(calls[0].replacesID, 0u);
    EXPECT_EQ(out, "notification: Finished writing to Stick | 1.0 GB in 3 sec. | authorization 1\n"
                   "notification: Backup is low on space | 4.2 GB free of 500 GB, below 10 %. | authorization 2\n"
                   "notification: Backup is low on space | 3.0 GB free of 500 GB, below 10 %. | authorization 2\n");
}

// A server over a daemon that takes its time over every Notify.
class BusyNotificationDaemon : public ::testing::Test {
protected:
    void SetUp() override
    {
        if (const auto missing = bus.unavailable())
            GTEST_SKIP() << missing->toStdString();
        ASSERT_TRUE(bus.startDaemon()) << bus.daemonError().toStdString();
        ASSERT_TRUE(bus.slowDown());
        server = std::make_unique<LinuxNotificationServer>(bus.connection());
        ASSERT_EQ(authorizationOf(*server), Authorization::authorized);
    }

    PrivateSessionBus bus;
    std::unique_ptr<LinuxNotificationServer> server;
};

TEST_F(BusyNotificationDaemon, ANoticeSentBeforeTheLastOneWasAnsweredStillReplacesIt)
{
    LinuxNotificationServer& server = *this->server;

    // Three in a row: the first goes out, the third overtakes the second while the first is on
    // its way, and replaces the first once its id is known.
    server.post({"low-space-A", "A is low on space", "one", false});
    server.post({"low-space-A", "A is low on space", "two", false});
    server.post({"low-space-A", "A is low on space", "three", false});
    server.post({"low-space-B", "B is low on space", "other", false});
    ASSERT_TRUE(waitForCalls(bus, 3));
    TestEnvironment::waitUntil([] { return false; }, 700ms);
    QList<NotifyCall> calls = bus.notifyCalls();
    QStringList bodies;
    for (const NotifyCall& call : calls)
        bodies << call.body;
    ASSERT_EQ(calls.size(), 3) << bodies.join(", ").toStdString();
    const auto a = server.serverID("low-space-A");
    ASSERT_TRUE(a.has_value());
    EXPECT_EQ(bodies, (QStringList{"one", "other", "three"}));
    EXPECT_EQ(calls[0].replacesID, 0u);
    EXPECT_EQ(calls[1].replacesID, 0u);
    EXPECT_EQ(calls[2].replacesID, *a);
    EXPECT_NE(server.serverID("low-space-B"), a);

    // A notice the user closed is gone: the next one under its identifier is a new one.
    bus.close(*a);
    ASSERT_TRUE(TestEnvironment::waitUntil([&] { return !server.serverID("low-space-A"); }, 5s));
    server.post({"low-space-A", "A is low on space", "four", false});
    ASSERT_TRUE(waitForCalls(bus, 4));
    EXPECT_EQ(bus.notifyCalls().at(3).replacesID, 0u);
}

TEST(LinuxNotificationServer, NoBusOrNoDaemonIsDenied)
{
    LinuxNotificationServer unconnected(QDBusConnection(QStringLiteral("no such connection")));
    EXPECT_EQ(authorizationOf(unconnected), Authorization::denied);
    unconnected.post({"x", "title", "body", true});
    EXPECT_FALSE(unconnected.serverID("x"));

    PrivateSessionBus bus;
    if (const auto missing = bus.unavailable())
        GTEST_SKIP() << missing->toStdString();
    LinuxNotificationServer server(bus.connection());
    EXPECT_EQ(authorizationOf(server), Authorization::denied);
    EXPECT_FALSE(TestEnvironment::await(server.requestAuthorization()).value_or(true));
}

TEST_F(BusyNotificationDaemon, AWithdrawnNoticeIsClosedAlsoWhenItWasStillOnItsWay)
{
    LinuxNotificationServer& server = *this->server;

    // Shown, then taken down.
    server.post({"flush-1", "Writing data to A", "one", false});
    ASSERT_TRUE(TestEnvironment::waitUntil([&] { return server.serverID("flush-1").has_value(); }, 5s));
    const uint first = *server.serverID("flush-1");
    server.withdraw("flush-1");
    EXPECT_FALSE(server.serverID("flush-1"));
    // Taken down before the server answered, and the notice queued behind it dropped.
    server.post({"flush-2", "Writing data to B", "two", false});
    server.post({"flush-2", "Writing data to B", "three", false});
    server.withdraw("flush-2");
    // Withdrawn while on its way, then posted again: the new one stands.
    server.post({"flush-3", "Writing data to C", "four", false});
    server.withdraw("flush-3");
    server.post({"flush-3", "C can be unplugged", "", true});

    ASSERT_TRUE(TestEnvironment::waitUntil([&] { return bus.closeCalls().size() >= 2 && bus.notifyCalls().size() >= 4; }, 5s));
    TestEnvironment::waitUntil([] { return false; }, 700ms);
    QStringList bodies;
    for (const NotifyCall& call : bus.notifyCalls())
        bodies << call.body;
    EXPECT_EQ(bodies, (QStringList{"one", "two", "four", ""}));
    ASSERT_EQ(bus.closeCalls().size(), 2);
    EXPECT_EQ(bus.closeCalls().first(), first);
    EXPECT_NE(bus.closeCalls().last(), first);
    EXPECT_FALSE(server.serverID("flush-2"));
    ASSERT_TRUE(server.serverID("flush-3"));
    EXPECT_EQ(bus.notifyCalls().last().replacesID, *server.serverID("flush-3"));
}
