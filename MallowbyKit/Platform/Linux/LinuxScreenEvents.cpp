#include "Platform/Linux/LinuxScreenEvents.h"

#include "Platform/Linux/SessionBus.h"

#include <QCoro/QCoroDBusPendingCall>
#include <QDBusMessage>
#include <QDBusObjectPath>

namespace mallowby {

namespace {

const QString login1Service = QStringLiteral("org.freedesktop.login1");
const QString login1Session = QStringLiteral("org.freedesktop.login1.Session");
const QString properties = QStringLiteral("org.freedesktop.DBus.Properties");

} // namespace

LinuxScreenEvents::LinuxScreenEvents(QDBusConnection systemBus, QDBusConnection sessionBus, QObject* parent)
    : ScreenEvents(parent), m_system(std::move(systemBus)), m_session(std::move(sessionBus))
{
}

LinuxScreenEvents::LinuxScreenEvents() : LinuxScreenEvents(QDBusConnection::systemBus(), SessionBus::user()) {}

void LinuxScreenEvents::start()
{
    if (m_started)
        return;
    m_started = true;
    // Any sender on any path: the screen saver lives at /ScreenSaver or /org/freedesktop/ScreenSaver.
    if (m_session.isConnected())
        m_session.connect(QString(), QString(), QStringLiteral("org.freedesktop.ScreenSaver"),
                          QStringLiteral("ActiveChanged"), this, SLOT(screenSaverActiveChanged(bool)));
    if (m_system.isConnected())
        watchSession(this);
}

QCoro::Task<> LinuxScreenEvents::watchSession(QPointer<LinuxScreenEvents> self)
{
    // "auto" is the caller's session, or the user's display session when the caller runs outside one.
    QDBusMessage call = QDBusMessage::createMethodCall(login1Service, QStringLiteral("/org/freedesktop/login1"),
                                                       QStringLiteral("org.freedesktop.login1.Manager"),
                                                       QStringLiteral("GetSession"));
    call << QStringLiteral("auto");
    QDBusConnection bus = self->m_system;
    QDBusPendingCall pending = bus.asyncCall(call);
    const QDBusMessage reply = co_await pending;
    if (!self || reply.type() != QDBusMessage::ReplyMessage || reply.arguments().isEmpty())
        co_return;
    const QString path = qvariant_cast<QDBusObjectPath>(reply.arguments().first()).path();
    if (path.isEmpty())
        co_return;
    self->m_sessionPath = path;
    // No sender in the match: naming the service would make Qt resolve its owner synchronously.
    bus.connect(QString(), path, login1Session, QStringLiteral("Lock"), self.data(), SLOT(sessionLocked()));
    bus.connect(QString(), path, login1Session, QStringLiteral("Unlock"), self.data(), SLOT(sessionUnlocked()));
    bus.connect(QString(), path, properties, QStringLiteral("PropertiesChanged"), self.data(),
                SLOT(sessionPropertiesChanged(QString, QVariantMap, QStringList)));
}

void LinuxScreenEvents::screenSaverActiveChanged(bool active)
{
    emit screenEvent(active);
}

void LinuxScreenEvents::sessionLocked()
{
    emit screenEvent(true);
}

void LinuxScreenEvents::sessionUnlocked()
{
    emit screenEvent(false);
}

void LinuxScreenEvents::sessionPropertiesChanged(const QString& interface, const QVariantMap& changed, const QStringList&)
{
    if (interface != login1Session)
        return;
    const auto it = changed.constFind(QStringLiteral("LockedHint"));
    if (it != changed.constEnd() && it->typeId() == QMetaType::Bool)
        emit screenEvent(it->toBool());
}

} // namespace mallowby
