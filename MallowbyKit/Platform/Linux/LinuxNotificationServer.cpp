#include "Platform/Linux/LinuxNotificationServer.h"

#include "Platform/Linux/SessionBus.h"

#include <QCoro/QCoroDBusPendingCall>
#include <QDBusMessage>
#include <QStandardPaths>
#include <QVariantMap>

namespace mallowby {

namespace {

const QString service = QStringLiteral("org.freedesktop.Notifications");
const QString path = QStringLiteral("/org/freedesktop/Notifications");
const QString interface = QStringLiteral("org.freedesktop.Notifications");

} // namespace

LinuxNotificationServer::LinuxNotificationServer(QDBusConnection bus, QObject* parent)
    : QObject(parent), m_bus(std::move(bus))
{
    // No sender in the match: naming the service would make Qt resolve its owner synchronously.
    if (m_bus.isConnected())
        m_bus.connect(QString(), path, interface, QStringLiteral("NotificationClosed"), this,
                      SLOT(notificationClosed(uint, uint)));
}

LinuxNotificationServer::LinuxNotificationServer() : LinuxNotificationServer(SessionBus::user()) {}

QCoro::Task<NotificationServer::Authorization> LinuxNotificationServer::authorization()
{
    QDBusConnection bus = m_bus;
    if (!bus.isConnected())
        co_return Authorization::denied;
    // Also starts a server that is only activatable.
    const QDBusMessage call = QDBusMessage::createMethodCall(service, path, interface, QStringLiteral("GetServerInformation"));
    QDBusPendingCall pending = bus.asyncCall(call, callTimeoutMs);
    const QDBusMessage reply = co_await pending;
    co_return reply.type() == QDBusMessage::ReplyMessage ? Authorization::authorized : Authorization::denied;
}

QCoro::Task<bool> LinuxNotificationServer::requestAuthorization()
{
    const Authorization status = co_await authorization();
    co_return status == Authorization::authorized;
}

void LinuxNotificationServer::post(const Notice& notice)
{
    if (!m_bus.isConnected())
        return;
    m_withdrawn.remove(notice.identifier);
    if (m_sending.contains(notice.identifier)) {
        m_waiting.insert(notice.identifier, notice);
        return;
    }
    send(notice);
}

void LinuxNotificationServer::withdraw(const QString& identifier)
{
    m_waiting.remove(identifier);
    if (m_sending.contains(identifier)) {
        m_withdrawn.insert(identifier);
        return;
    }
    if (const auto id = m_ids.take(identifier))
        close(id);
}

void LinuxNotificationServer::close(uint id)
{
    if (!m_bus.isConnected())
        return;
    QDBusMessage call = QDBusMessage::createMethodCall(service, path, interface, QStringLiteral("CloseNotification"));
    call << id;
    m_bus.asyncCall(call, callTimeoutMs);
}

void LinuxNotificationServer::send(const Notice& notice)
{
    m_sending.insert(notice.identifier);
    deliver(this, notice, m_ids.value(notice.identifier, 0));
}

QCoro::Task<> LinuxNotificationServer::deliver(QPointer<LinuxNotificationServer> self, Notice notice, uint replaces)
{
    QDBusMessage call = QDBusMessage::createMethodCall(service, path, interface, QStringLiteral("Notify"));
    QVariantMap hints;
    if (notice.withSound)
        hints.insert(QStringLiteral("sound-name"), QStringLiteral("complete"));
    call << QStringLiteral("mallowby") << replaces << QString() << notice.title << notice.body << QStringList()
         << hints << qint32(-1);
    QDBusConnection bus = self->m_bus;
    QDBusPendingCall pending = bus.asyncCall(call, callTimeoutMs);
    const QDBusMessage reply = co_await pending;
    if (!self)
        co_return;
    self->m_sending.remove(notice.identifier);
    if (reply.type() == QDBusMessage::ReplyMessage && !reply.arguments().isEmpty()) {
        const uint id = reply.arguments().first().toUInt();
        if (id != 0)
            self->m_ids.insert(notice.identifier, id);
    }
    if (self->m_withdrawn.remove(notice.identifier)) {
        if (const auto id = self->m_ids.take(notice.identifier))
            self->close(id);
        co_return;
    }
    const auto waiting = self->m_waiting.find(notice.identifier);
    if (waiting != self->m_waiting.end()) {
        const Notice next = *waiting;
        self->m_waiting.erase(waiting);
        self->send(next);
    }
}

void LinuxNotificationServer::notificationClosed(uint id, uint)
{
    for (auto it = m_ids.begin(); it != m_ids.end();) {
        if (*it == id)
            it = m_ids.erase(it);
        else
            ++it;
    }
}

std::optional<uint> LinuxNotificationServer::serverID(const QString& identifier) const
{
    const auto it = m_ids.constFind(identifier);
    return it == m_ids.constEnd() ? std::nullopt : std::optional(*it);
}

std::optional<QStringList> LinuxNotificationServer::settingsCommandFor(const QString& currentDesktop)
{
    const QStringList desktops = currentDesktop.split(QLatin1Char(':'), Qt::SkipEmptyParts);
    for (const QString& desktop : desktops) {
        const QString name = desktop.toUpper();
        if (name == u"GNOME" || name == u"UNITY" || name == u"BUDGIE")
            return QStringList{QStringLiteral("gnome-control-center"), QStringLiteral("notifications")};
        if (name == u"KDE")
            return QStringList{QStringLiteral("systemsettings"), QStringLiteral("kcm_notifications")};
        if (name == u"X-CINNAMON" || name == u"CINNAMON")
            return QStringList{QStringLiteral("cinnamon-settings"), QStringLiteral("notifications")};
        if (name == u"XFCE")
            return QStringList{QStringLiteral("xfce4-notifyd-config")};
        if (name == u"MATE")
            return QStringList{QStringLiteral("mate-notification-properties")};
    }
    return std::nullopt;
}

std::optional<QStringList> LinuxNotificationServer::settingsCommand() const
{
    auto command = settingsCommandFor(qEnvironmentVariable("XDG_CURRENT_DESKTOP"));
    if (!command || QStandardPaths::findExecutable(command->first()).isEmpty())
        return std::nullopt;
    return command;
}

} // namespace mallowby
