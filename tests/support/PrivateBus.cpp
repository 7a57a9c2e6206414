#include "support/PrivateBus.h"

#include "support/TestEnvironment.h"

#include <QDBusConnectionInterface>
#include <QFileInfo>

namespace mallowby::test {

using namespace std::chrono_literals;

PrivateBus::PrivateBus()
{
    m_daemon.start(QStringLiteral("dbus-daemon"),
                   {QStringLiteral("--config-file=") + TestEnvironment::dataPath(QStringLiteral("session-bus.conf")),
                    QStringLiteral("--nofork"), QStringLiteral("--print-address=1")});
    if (m_daemon.waitForStarted(5000) && m_daemon.waitForReadyRead(5000))
        m_address = QString::fromUtf8(m_daemon.readLine()).trimmed();
}

PrivateBus::~PrivateBus()
{
    stopMocks();
    for (const QString& name : std::as_const(m_connections))
        QDBusConnection::disconnectFromBus(name);
    m_daemon.kill();
    m_daemon.waitForFinished(5000);
}

std::optional<QString> PrivateBus::unavailable() const
{
    if (m_address.isEmpty())
        return QStringLiteral("dbus-daemon could not be started here");
    return std::nullopt;
}

QDBusConnection PrivateBus::connect()
{
    const QString name = QStringLiteral("private-bus-%1-%2").arg(quintptr(this)).arg(m_connections.size());
    m_connections << name;
    return QDBusConnection::connectToBus(m_address, name);
}

bool PrivateBus::hasOwner(const QString& name)
{
    if (m_connections.isEmpty())
        connect();
    return QDBusConnection(m_connections.first()).interface()->isServiceRegistered(name).value();
}

bool PrivateBus::startMock(const QString& service, const QStringList& arguments)
{
    if (!QFileInfo::exists(QStringLiteral("/usr/bin/python3")))
        return false;
    auto& mock = m_mocks.emplace_back(std::make_unique<QProcess>());
    auto environment = QProcessEnvironment::systemEnvironment();
    environment.insert(QStringLiteral("DBUS_SESSION_BUS_ADDRESS"), m_address);
    mock->setProcessEnvironment(environment);
    mock->setProcessChannelMode(QProcess::ForwardedErrorChannel);
    mock->start(QStringLiteral("/usr/bin/python3"), QStringList{QStringLiteral("-m"), QStringLiteral("dbusmock")} + arguments);
    if (!mock->waitForStarted(5000))
        return false;
    QProcess* process = mock.get();
    return TestEnvironment::waitUntil([&] { return process->state() == QProcess::Running && hasOwner(service); }, 10s);
}

void PrivateBus::stopMocks()
{
    for (auto& mock : m_mocks) {
        mock->terminate();
        if (!mock->waitForFinished(5000)) {
            mock->kill();
            mock->waitForFinished(5000);
        }
    }
    m_mocks.clear();
}

} // namespace mallowby::test
