#pragma once

#include "support/PrivateBus.h"
#include "support/TestEnvironment.h"

#include <QDBusArgument>
#include <QDBusConnection>
#include <QDBusMessage>
#include <QFileInfo>
#include <QVariantMap>

#include <memory>
#include <optional>

namespace mallowby::test {

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
        if (!m_bus.unavailable())
            m_connection = std::make_unique<QDBusConnection>(m_bus.connect());
    }

    std::optional<QString> unavailable() const
    {
        if (const auto why = m_bus.unavailable())
            return why;
        if (!m_connection->isConnected())
            return QStringLiteral("could not connect to the private bus");
        if (!QFileInfo::exists("/usr/bin/python3"))
            return QStringLiteral("/usr/bin/python3 is missing");  // dbusmock runs on the system Python
        return std::nullopt;
    }
    QDBusConnection connection() const { return *m_connection; }
    const QString& address() const { return m_bus.address(); }

    // dbusmock's notification daemon; its errors go to the test's error stream.
    bool startDaemon() { return m_bus.startMock(daemonName, {"--template", "notification_daemon"}); }
    QString daemonError() { return QStringLiteral("see the error stream"); }
    void stopDaemon() { m_bus.stopMocks(); }

    // The calls the daemon has received so far, oldest first.
    QList<NotifyCall> notifyCalls() const
    {
        QList<NotifyCall> calls;
        for (const QVariantList& a : methodCalls("Notify"))
            if (a.size() >= 7)
                calls.append({a[1].toUInt(), a[3].toString(), a[4].toString(), qdbus_cast<QVariantMap>(a[6].value<QDBusArgument>())});
        return calls;
    }
    QList<uint> closeCalls() const
    {
        QList<uint> ids;
        for (const QVariantList& arguments : methodCalls("CloseNotification"))
            ids.append(arguments.value(0).toUInt());
        return ids;
    }

    // Makes the daemon take its time over every Notify, as a busy desktop does.
    bool slowDown() const
    {
        const char* code = "import time\ntime.sleep(0.3)\nif args[1]:\n    ret = args[1]\nelse:\n    ret = self.next_id\n    self.next_id += 1\n";
        return call("org.freedesktop.DBus.Mock", "AddMethod", {daemonName, "Notify", "susssasa{sv}i", "u", code}).type() == QDBusMessage::ReplyMessage;
    }
    // Closes a notice as a user dismissing it would.
    void close(uint id) const { call(daemonName, "CloseNotification", {id}); }

private:
    QDBusMessage call(const QString& interface, const QString& method, const QVariantList& arguments) const
    {
        QDBusMessage message = QDBusMessage::createMethodCall(daemonName, "/org/freedesktop/Notifications", interface, method);
        message.setArguments(arguments);
        return m_connection->call(message);
    }
    QList<QVariantList> methodCalls(const QString& method) const
    {
        const QDBusMessage reply = call("org.freedesktop.DBus.Mock", "GetMethodCalls", {method});
        QList<QVariantList> calls;
        const QDBusArgument list = reply.arguments().value(0).value<QDBusArgument>();
        if (reply.type() != QDBusMessage::ReplyMessage || reply.arguments().isEmpty())
            return calls;
        list.beginArray();
        while (!list.atEnd()) {
            quint64 time = 0;
            QVariantList arguments;
            list.beginStructure();
            list >> time >> arguments;
            list.endStructure();
            calls.append(arguments);
        }
        list.endArray();
        return calls;
    }

    PrivateBus m_bus;
    std::unique_ptr<QDBusConnection> m_connection;
};

inline bool waitForCalls(const PrivateSessionBus& bus, qsizetype count)
{
    return TestEnvironment::waitUntil([&] { return bus.notifyCalls().size() >= count; }, std::chrono::seconds(5));
}

} // namespace mallowby::test
