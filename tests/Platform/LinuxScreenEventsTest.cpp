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

} // namespace

TEST(LinuxScreenEvents, LogindLocksAndTheScreenSaverReachTheMonitorAndNothingElseDoes)
{
    PrivateBus bus;
    if (bus.unavailable())
        GTEST_SKIP() << bus.unavailable()->toStdString();
    QList<bool> received;
    // Without logind: no session, no events; without a bus at all: the same.
    for (const bool connected : {true, false}) {
        LinuxScreenEvents events(connected ? bus.connect() : QDBusConnection("none"), connected ? bus.connect() : QDBusConnection("none"));
        QObject::connect(&events, &ScreenEvents::screenEvent, [&](bool asleep) { received.append(asleep); });
        events.start();
        EXPECT_FALSE(TestEnvironment::waitUntil([&] { return !received.isEmpty() || !events.sessionPath().isEmpty(); }, 300ms));
    }

    QDBusConnection service = bus.connect();
    FakeLogind logind;
    ASSERT_TRUE(service.registerService("org.freedesktop.login1"));
    ASSERT_TRUE(service.registerObject("/org/freedesktop/login1", &logind, QDBusConnection::ExportAllSlots));
    QDBusConnection system = bus.connect(), sessionBus = bus.connect();
    LinuxScreenEvents events(system, sessionBus);
    QObject::connect(&events, &ScreenEvents::screenEvent, [&](bool asleep) { received.append(asleep); });
    events.start();
    const QString sessionPath = QStringLiteral("/org/freedesktop/login1/session/_32");
    ASSERT_TRUE(TestEnvironment::waitUntil([&] { return events.sessionPath() == sessionPath; }, 5s));
    EXPECT_EQ(logind.asked, QStringList{"auto"});
    // A round trip on each connection makes sure the daemon has its match rules.
    system.interface()->registeredServiceNames();
    sessionBus.interface()->registeredServiceNames();

    // Other interfaces, other properties, other sessions and other paths say nothing; the last
    // signal tells that every one before it has arrived.
    const QString session = "org.freedesktop.login1.Session", properties = "org.freedesktop.DBus.Properties",
                  saver = "org.freedesktop.ScreenSaver";
    const QList<std::tuple<QString, QString, QString, QVariantList>> messages{
        {sessionPath, session, "Lock", {}},
        {sessionPath, session, "Unlock", {}},
        {sessionPath, properties, "PropertiesChanged", {session, QVariantMap{{"LockedHint", true}, {"IdleHint", false}}, QStringList{}}},
        {sessionPath, properties, "PropertiesChanged", {"org.freedesktop.login1.User", QVariantMap{{"LockedHint", false}}, QStringList{}}},
        {sessionPath, properties, "PropertiesChanged", {session, QVariantMap{{"IdleHint", true}}, QStringList{}}},
        {"/org/freedesktop/login1/session/_77", session, "Unlock", {}},
        {"/org/freedesktop/ScreenSaver", saver, "ActiveChanged", {false}},
        {"/ScreenSaver", saver, "ActiveChanged", {true}},
        {"/org/freedesktop/ScreenSaver", saver, "ActiveChanged", {false}},
    };
    for (const auto& [path, interface, name, arguments] : messages) {
        QDBusMessage message = QDBusMessage::createSignal(path, interface, name);
        message.setArguments(arguments);
        service.send(message);
    }
    EXPECT_TRUE(TestEnvironment::waitUntil([&] { return received.size() >= 6; }, 5s));
    EXPECT_EQ(received, (QList<bool>{true, false, true, false, true, false}));
}

#include "LinuxScreenEventsTest.moc"
