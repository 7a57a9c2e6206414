#pragma once

#include "Support/LaunchEnvironment.h"

#include <QCoro/QCoroTask>
#include <QDBusConnection>
#include <QDBusError>
#include <QObject>
#include <QPointer>
#include <QVariantMap>

#include <functional>
#include <optional>

namespace mallowby {

// One instance per desktop session. The first launch owns the application id on the session bus
// and answers org.freedesktop.Application.Activate by asking for its popover; a later launch
// calls that and steps aside. Without a session bus every launch runs on its own. The developer
// modes run beside a running instance: the dump modes never touch the name, the others take it
// only while it is free.
class SingleInstance : public QObject {
    Q_OBJECT
    Q_CLASSINFO("D-Bus Interface", "org.freedesktop.Application")
public:
    enum class Role {
        primary,    // owns the name
        secondary,  // another instance owns it
        alone,      // runs without the name: no bus, a dump mode, or the name could not be had
    };

    static inline const QString serviceName = QStringLiteral(MALLOWBY_APP_ID);
    static inline const QString objectPath = QStringLiteral("/as/quillon/mallowby");
    static inline const QString handedOverLine = QStringLiteral("mallowby is already running; opened its popover.");

    SingleInstance(QDBusConnection bus, const LaunchEnvironment& environment, QObject* parent = nullptr);
    ~SingleInstance() override;

    // Settles the role and, unless this launch hands over to a running instance, runs `start`.
    // A launch that handed over prints a line saying so and ends the event loop with 0; one
    // whose running instance does not answer ends it with 1.
    void launch(std::function<void()> start);

    // Takes the name where this launch should; the role that follows.
    QCoro::Task<Role> claim();
    // Asks the instance that owns the name to come forward; the error when it did not.
    QCoro::Task<std::optional<QDBusError>> activateRunning();

public slots:
    Q_SCRIPTABLE void Activate(const QVariantMap& platformData);

signals:
    // Another launch asked for this instance.
    void activated();

private:
    static QCoro::Task<> run(QPointer<SingleInstance> self, std::function<void()> start);

    QDBusConnection m_bus;
    bool m_takesName;        // not in a dump mode
    bool m_defersToRunning;  // no developer mode: a running instance takes over
    bool m_registered = false;
};

} // namespace mallowby
