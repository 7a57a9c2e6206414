#include "Platform/Linux/LinuxScreenEvents.h"

#include "support/PrivateBus.h"
#include "support/TestEnvironment.h"

#include <QDBusConnection>
#include <QDBusConnectionInterface>
#include <QDBusMessage>
#include <QDBusObjectPath>

#include <gtest/gtest.h>

using namespace mallowby;
using namespace mallowby::test;
using namespace std::chrono_literals;

namespace {

// Just enough of logind's manager to hand out a session.
class FakeLogind : public QObject {
    Q_OBJECT
    Q_CLASSINFO("D-Bus Interface", "org.freedesktop.login1.Manager")
public:
    QStringList asked;
public Q_SLOTS:
    QDBusObjectPath GetSession(const QString& id)
    {
        asked.append(id);
        return QDBusObjectPath(QStringLiteral("/org/freedesktop/login1/session/_32"));
    }
};

const QString sessionPath = QStringLiteral("/org/freedesktop/login1/session/_32");

void sendSignal(QDBusConnection& bus, const QString& path, const QString& interface, const QString& name,
                const QVariantList& arguments = {})
{
    QDBusMessage message = QDBusMessage::createSignal(path, interface, name);
    message.setArguments(arguments);
    bus.send(message);
}

} // namespace

TEST(LinuxScreenEvents, LogindLocksAndTheScreenSaverReachTheMonitor)
{
    PrivateBus bus;
    if (bus.unavailable())
        GTEST_SKIP() << "dbus-daemon could not be started here";
    QDBusConnection service = bus.connect();
    FakeLogind logind;
    ASSERT_TRUE(service.registerService("org.freedesktop.login1"));
    ASSERT_TRUE(service.registerObject("/org/freedesktop/login1", &logind, QDBusConnection::ExportAllSlots));

    QDBusConnection system = bus.connect();
    QDBusConnection sessionBus = bus.connect();
    LinuxScreenEvents events(system, sessionBus);
    QList<bool> received;
    QObject::connect(&events, &ScreenEvents::screenEvent, [&](bool asleep) { received.append(asleep); });
    events.start();
    ASSERT_TRUE(TestEnvironment::waitUntil([&] { return !events.sessionPath().isEmpty(); }, 5s));
    EXPECT_EQ(events.sessionPath(), sessionPath);
    EXPECT_EQ(logind.asked, QStringList{"auto"});
    // A round trip on each connection makes sure the daemon has its match rules.
    system.interface()->registeredServiceNames();
    sessionBus.interface()->registeredServiceNames();

    const QString session = QStringLiteral("org.freedesktop.login1.Session");
    const QString properties = QStringLiteral("org.freedesktop.DBus.Properties");
    sendSignal(service, sessionPath, session, "Lock");
    sendSignal(service, sessionPath, session, "Unlock");
    sendSignal(service, sessionPath, properties, "PropertiesChanged",
               {session, QVariantMap{{"LockedHint", true}, {"IdleHint", false}}, QStringList{}});
    // Other interfaces, other properties and other sessions say nothing about this one.
    sendSignal(service, sessionPath, properties, "PropertiesChanged",
               {QStringLiteral("org.freedesktop.login1.User"), QVariantMap{{"LockedHint", false}}, QStringList{}});
    sendSignal(service, sessionPath, properties, "PropertiesChanged", {session, QVariantMap{{"IdleHint", true}}, QStringList{}});
    sendSignal(service, "/org/freedesktop/login1/session/_77", session, "Unlock");
    sendSignal(service, "/org/freedesktop/ScreenSaver", "org.freedesktop.ScreenSaver", "ActiveChanged", {false});
    sendSignal(service, "/ScreenSaver", "org.freedesktop.ScreenSaver", "ActiveChanged", {true});

    EXPECT_TRUE(TestEnvironment::waitUntil([&] { return received.size() >= 5; }, 5s));
    TestEnvironment::waitUntil([] { return false; }, 200ms);
    EXPECT_EQ(received, (QList<bool>{true, false, true, false, true}));
}

TEST(LinuxScreenEvents, AbsentServicesNeverReport)
{
    PrivateBus bus;
    if (bus.unavailable())
        GTEST_SKIP() << "dbus-daemon could not be started here";
    LinuxScreenEvents events(bus.connect(), bus.connect());
    int received = 0;
    QObject::connect(&events, &ScreenEvents::screenEvent, [&] { ++received; });
    events.start();
    TestEnvironment::waitUntil([] { return false; }, 300ms);
    EXPECT_TRUE(events.sessionPath().isEmpty());

    // No bus at all: awake, and nothing to say.
    LinuxScreenEvents unconnected(QDBusConnection(QStringLiteral("no such connection")),
                                  QDBusConnection(QStringLiteral("no such connection either")));
    QObject::connect(&unconnected, &ScreenEvents::screenEvent, [&] { ++received; });
    unconnected.start();
    TestEnvironment::waitUntil([] { return false; }, 100ms);
    EXPECT_EQ(received, 0);
    EXPECT_TRUE(unconnected.sessionPath().isEmpty());
}

#include "LinuxScreenEventsTest.moc"
