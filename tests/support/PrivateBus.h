#pragma once

#include <QDBusConnection>
#include <QProcess>
#include <QStringList>

#include <memory>
#include <optional>

namespace mallowby::test {

// A session bus of the test's own (dbus-daemon --session), with python-dbusmock services on it
// when asked. Everything is ended on destruction.
class PrivateBus {
public:
    PrivateBus();
    ~PrivateBus();

    // Why the bus cannot be used here, or none.
    std::optional<QString> unavailable() const;
    const QString& address() const { return m_address; }

    // A new connection of this process to the bus; every call gives another one.
    QDBusConnection connect();
    // Whether a name has an owner now.
    bool hasOwner(const QString& name);

    // Starts `python3 -m dbusmock ARGUMENTS` on the bus and waits until it owns `service`
    // (system Python: a pyenv shim on PATH lacks the module).
    bool startMock(const QString& service, const QStringList& arguments);
    // Ends every mock started so far.
    void stopMocks();

private:
    QProcess m_daemon;
    QString m_address;
    QStringList m_connections;
    std::vector<std::unique_ptr<QProcess>> m_mocks;
};

} // namespace mallowby::test
