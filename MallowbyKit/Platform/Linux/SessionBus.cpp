#include "Platform/Linux/SessionBus.h"

#include <QFileInfo>

namespace mallowby {

QDBusConnection SessionBus::user()
{
    const QString runtimeBus = qEnvironmentVariable("XDG_RUNTIME_DIR") + QStringLiteral("/bus");
    if (qEnvironmentVariableIsEmpty("DBUS_SESSION_BUS_ADDRESS")
        && (qEnvironmentVariableIsEmpty("XDG_RUNTIME_DIR") || !QFileInfo(runtimeBus).exists()))
        return QDBusConnection(QStringLiteral("mallowby-no-session-bus"));
    return QDBusConnection::sessionBus();
}

} // namespace mallowby
