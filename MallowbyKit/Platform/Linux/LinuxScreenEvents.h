#pragma once

#include "Platform/ScreenEvents.h"

#include <QCoro/QCoroTask>
#include <QDBusConnection>
#include <QPointer>
#include <QVariantMap>

namespace mallowby {

// Screen and session state from D-Bus: the logind session's Lock and Unlock signals and its
// LockedHint property (system bus), and the screen saver's ActiveChanged (session bus). Only
// asynchronous calls; a bus or service that is absent never reports, which reads as awake.
class LinuxScreenEvents final : public ScreenEvents {
    Q_OBJECT
public:
    LinuxScreenEvents(QDBusConnection systemBus, QDBusConnection sessionBus, QObject* parent = nullptr);
    // On the user's system and session buses.
    LinuxScreenEvents();

    void start() override;

    // The logind session being watched, once found.
    const QString& sessionPath() const { return m_sessionPath; }

private Q_SLOTS:
    void screenSaverActiveChanged(bool active);
    void sessionLocked();
    void sessionUnlocked();
    void sessionPropertiesChanged(const QString& interface, const QVariantMap& changed, const QStringList& invalidated);

private:
    static QCoro::Task<> watchSession(QPointer<LinuxScreenEvents> self);

    QDBusConnection m_system;
    QDBusConnection m_session;
    QString m_sessionPath;
    bool m_started = false;
};

} // namespace mallowby
