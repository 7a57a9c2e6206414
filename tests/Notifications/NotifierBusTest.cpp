#include "Notifications/Notifier.h"
#include "Platform/Linux/LinuxNotificationServer.h"

#include "Drives/Drive.h"

#include "NotifierRig.h"
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

// One Notify call as the notification server received it.
struct NotifyCall {
    uint replacesID = 0;
    QString title;
    QString body;
    QVariantMap hints;
};

// A private session bus with python-dbusmock's notification daemon on it, when asked for.
class PrivateSessionBus {
public:
    static inline const QString daemonName = QStringLiteral("org.freedesktop.Notifications");

    PrivateSessionBus()
    {
        m_bus.start(QStringLiteral("dbus-daemon"), {QStringLiteral("--session"), QStringLiteral("--nofork"),
                                                    QStringLiteral("--print-address=1")});
        if (m_bus.waitForStarted(5000) && m_bus.waitForReadyRead(5000))
            m_address = QString::fromUtf8(m_bus.readLine()).trimmed();
        if (!m_address.isEmpty())
            m_connection = std::make_unique<QDBusConnection>(QDBusConnection::connectToBus(m_address, connectionName()));
    }
    ~PrivateSessionBus()
    {
        stopDaemon();
        m_connection.reset();
        QDBusConnection::disconnectFromBus(connectionName());
        m_bus.kill();
        m_bus.waitForFinished(5000);
    }

    std::optional<QString> unavailable() const
    {
        if (m_address.isEmpty() || !m_connection->isConnected())
            return QStringLiteral("dbus-daemon could not be started here");
        if (!QFileInfo::exists(QStringLiteral("/usr/bin/python3")))
            return QStringLiteral("/usr/bin/python3 is missing");
        return std::nullopt;
    }

    QDBusConnection connection() const { return *m_connection; }

    // dbusmock's notification daemon (system Python: a pyenv shim on PATH lacks the module).
    bool startDaemon()
    {
        auto environment = QProcessEnvironment::systemEnvironment();
        environment.insert(QStringLiteral("DBUS_SESSION_BUS_ADDRESS"), m_address);
        m_daemon.setProcessEnvironment(environment);
        m_daemon.start(QStringLiteral("/usr/bin/python3"), {QStringLiteral("-m"), QStringLiteral("dbusmock"),
                                                            QStringLiteral("--template"), QStringLiteral("notification_daemon")});
        if (!m_daemon.waitForStarted(5000))
            return false;
        return TestEnvironment::waitUntil(
            [&] {
                return m_daemon.state() == QProcess::Running
                       && m_connection->interface()->isServiceRegistered(daemonName).value();
            },
            10s);
    }
    QString daemonError() { return QString::fromUtf8(m_daemon.readAllStandardError()); }

    void stopDaemon()
    {
        if (m_daemon.state() == QProcess::NotRunning)
            return;
        m_daemon.terminate();
        if (!m_daemon.waitForFinished(5000)) {
            m_daemon.kill();
            m_daemon.waitForFinished(5000);
        }
    }

    // The Notify calls the daemon has received so far, oldest first.
    QList<NotifyCall> notifyCalls() const
    {
        QDBusMessage call = QDBusMessage::createMethodCall(daemonName, QStringLiteral("/org/freedesktop/Notifications"),
                                                           QStringLiteral("org.freedesktop.DBus.Mock"),
                                                           QStringLiteral("GetMethodCalls"));
        call << QStringLiteral("Notify");
        const QDBusMessage reply = m_connection->call(call);
        QList<NotifyCall> calls;
        if (reply.type() != QDBusMessage::ReplyMessage || reply.arguments().isEmpty())
            return calls;
        const QDBusArgument list = reply.arguments().first().value<QDBusArgument>();
        list.beginArray();
        while (!list.atEnd()) {
            quint64 time = 0;
            QVariantList arguments;
            list.beginStructure();
            list >> time >> arguments;
            list.endStructure();
            if (arguments.size() < 7)
                continue;
            calls.append({arguments[1].toUInt(), arguments[3].toString(), arguments[4].toString(),
                          qdbus_cast<QVariantMap>(arguments[6].value<QDBusArgument>())});
        }
        list.endArray();
        return calls;
    }

    // Makes the daemon take its time over every Notify, as a busy desktop does.
    bool slowDown() const
    {
        QDBusMessage call = QDBusMessage::createMethodCall(daemonName, QStringLiteral("/org/freedesktop/Notifications"),
                                                           QStringLiteral("org.freedesktop.DBus.Mock"),
                                                           QStringLiteral("AddMethod"));
        call << daemonName << QStringLiteral("Notify") << QStringLiteral("susssasa{sv}i") << QStringLiteral("u")
             << QStringLiteral("import time\n"
                               "time.sleep(0.3)\n"
                               "if args[1]:\n"
                               "    ret = args[1]\n"
                               "else:\n"
                               "    ret = self.next_id\n"
                               "    self.next_id += 1\n");
        return m_connection->call(call).type() == QDBusMessage::ReplyMessage;
    }

    // Closes a notice as a user dismissing it would.
    void close(uint id) const
    {
        QDBusMessage call = QDBusMessage::createMethodCall(daemonName, QStringLiteral("/org/freedesktop/Notifications"),
                                                           daemonName, QStringLiteral("CloseNotification"));
        call << id;
        m_connection->call(call);
    }

private:
    QString connectionName() const { return QStringLiteral("notifier-test-%1").arg(quintptr(this)); }

    QProcess m_bus;
    QProcess m_daemon;
    QString m_address;
    std::unique_ptr<QDBusConnection> m_connection;
};

bool waitForCalls(const PrivateSessionBus& bus, qsizetype count)
{
    return TestEnvironment::waitUntil([&] { return bus.notifyCalls().size() >= count; }, 5s);
}

Authorization authorizationOf(LinuxNotificationServer& server)
{
    return TestEnvironment::await(server.authorization()).value_or(Authorization::notDetermined);
}

} // namespace

TEST(NotifierOnTheSessionBus, NoticesReachTheDaemonAndLowSpaceReplacesItsEarlierNotice)
{
    PrivateSessionBus bus;
    if (const auto missing = bus.unavailable())
        GTEST_SKIP() << missing->toStdString();
    ASSERT_TRUE(bus.startDaemon()) << bus.daemonError().toStdString();

    NotifierRig rig;
    rig.preferences->setNotifyLowSpace(true);
    rig.preferences->setNotifyTransferFinished(true);
    auto server = std::make_shared<LinuxNotificationServer>(bus.connection());
    ASSERT_TRUE(rig.start(server, true)) << rig.tree.error().toStdString();
    ASSERT_TRUE(TestEnvironment::waitUntil([&] { return rig.notifier->authorization() == Authorization::authorized; }, 5s));

    StdoutCapture capture;
    // Falls, climbs clear, falls again: two notices for one volume, the second replacing the first.
    ASSERT_TRUE(rig.fill("/run/media/me/Backup", 500 * NotifierRig::GB, 4'200'000'000));
    ASSERT_TRUE(waitForCalls(bus, 1));
    ASSERT_TRUE(rig.fill("/run/media/me/Backup", 500 * NotifierRig::GB, 100 * NotifierRig::GB));
    ASSERT_TRUE(rig.fill("/run/media/me/Backup", 500 * NotifierRig::GB, 3 * NotifierRig::GB));
    ASSERT_TRUE(waitForCalls(bus, 2));
    // Two transfers to one drive: two notices side by side, with sound.
    Drive drive;
    drive.id = "12";
    drive.name = "Samsung T7";
    rig.notifier->transferFinished(drive, FinishedTransfer{12'300'000'000, 125s});
    rig.notifier->transferFinished(drive, FinishedTransfer{2'000'000'000, 3661s});
    ASSERT_TRUE(waitForCalls(bus, 4));
    const QString out = capture.finish();

    const QList<NotifyCall> calls = bus.notifyCalls();
    ASSERT_EQ(calls.size(), 4);
    EXPECT_EQ(calls[0].title, "Backup is low on space");
    EXPECT_EQ(calls[0].body, "4.2 GB free of 500 GB, below 10 %.");
    EXPECT_EQ(calls[0].replacesID, 0u);
    EXPECT_TRUE(calls[0].hints.isEmpty());
    EXPECT_EQ(calls[1].title, "Backup is low on space");
    EXPECT_EQ(calls[1].body, "3.0 GB free of 500 GB, below 10 %.");
    EXPECT_EQ(calls[1].replacesID, server->serverID("low-space-/dev/sdb1").value_or(0));
    EXPECT_NE(calls[1].replacesID, 0u);

    EXPECT_EQ(calls[2].title, "Finished writing to Samsung T7");
    EXPECT_EQ(calls[2].body, "12.3 GB in 2 min, 5 sec.");
    EXPECT_EQ(calls[3].body, "2.0 GB in 1 hr, 1 min.");
    for (const NotifyCall& transfer : {calls[2], calls[3]}) {
        EXPECT_EQ(transfer.replacesID, 0u);
        EXPECT_EQ(transfer.hints.value("sound-name").toString(), "complete");
    }

    EXPECT_EQ(out, "notification: Backup is low on space | 4.2 GB free of 500 GB, below 10 %. | authorization 2\n"
                   "notification: Backup is low on space | 3.0 GB free of 500 GB, below 10 %. | authorization 2\n"
                   "notification: Finished writing to Samsung T7 | 12.3 GB in 2 min, 5 sec. | authorization 2\n"
                   "notification: Finished writing to Samsung T7 | 2.0 GB in 1 hr, 1 min. | authorization 2\n");
}

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

TEST(LinuxNotificationServer, ANoticeSentBeforeTheLastOneWasAnsweredStillReplacesIt)
{
    PrivateSessionBus bus;
    if (const auto missing = bus.unavailable())
        GTEST_SKIP() << missing->toStdString();
    ASSERT_TRUE(bus.startDaemon()) << bus.daemonError().toStdString();
    ASSERT_TRUE(bus.slowDown());
    LinuxNotificationServer server(bus.connection());
    ASSERT_EQ(authorizationOf(server), Authorization::authorized);

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
