#pragma once

#include <QDBusConnection>

namespace mallowby {

namespace SessionBus {

// The user's session bus, only where one is announced (DBUS_SESSION_BUS_ADDRESS, or a bus socket
// in XDG_RUNTIME_DIR); otherwise a connection that is not connected. Asking libdbus for the
// session bus without one may start a bus daemon of its own (X11 autolaunch).
QDBusConnection user();

} // namespace SessionBus

} // namespace mallowby
