#include "SingleInstance.h"

#include "Support/Console.h"

#include <QCoreApplication>
#include <QCoro/QCoroDBusPendingCall>
#include <QDBusError>
#include <QDBusMessage>
#include <QTimer>

#include <cstdio>

namespace mallowby {

namespace {

const QString busService = QStringLiteral("org.freedesktop.DBus");
// RequestName: fail rather than wait in the queue; the answers that mean the name is ours.
constexpr uint doNotQueue = 4;
constexpr uint primaryOwner = 1;
constexpr uint alreadyOwner = 4;

const QStringList developerModes{QStringLiteral("MALLOWBY_POPOVER"),    QStringLiteral("MALLOWBY_DIAGNOSTICS"),
                                 QStringLiteral("MALLOWBY_INSPECT"),    QStringLiteral("MALLOWBY_EJECT"),
                                 QStringLiteral("MALLOWBY_SNAPSHOT"),   QStringLiteral("MALLOWBY_LOG_NOTIFICATIONS")};

} // namespace

SingleInstance::SingleInstance(QDBusConnection bus, const LaunchEnvironment& environment, QObject* parent)
    : QObject(parent),
      m_bus(std::move(bus)),
      m_takesName(!environment.isDumpMode()),
      m_defersToRunning(std::none_of(developerModes.cbegin(), developerModes.cend(),
                                     [&](const QString& key) { return environment.contains(key); }))
{
}

SingleInstance::~SingleInstance()
{
    if (m_registered)
        m_bus.unregisterObject(objectPath);
}

void SingleInstance::launch(std::function<void()> start)
{
    // On the next turn, once the event loop runs.
    QTimer::singleShot(0, this, [self = QPointer(this), start = std::move(start)] { run(self, start); });
}

QCoro::Task<> SingleInstance::run(QPointer<SingleInstance> self, std::function<void()> start)
{
    // Twice at most: the running instance may quit between our request for the name and our call.
    for (int attempt = 0; attempt < 2; ++attempt) {
        const Role role = co_await self->claim();
        if (!self)
            co_return;
        if (role != Role::secondary || !self->m_defersToRunning) {
            start();
            co_return;
        }
        const std::optional<QDBusError> error = co_await self->activateRunning();
        if (!self)
            co_return;
        if (!error) {
            Console::printLine(handedOverLine);
            Console::flush();
            QCoreApplication::exit(0);
            co_return;
        }
        const bool gone = error->type() == QDBusError::ServiceUnknown
                           || error->name() == QStringLiteral("org.freedesktop.DBus.Error.NameHasNoOwner");
        if (attempt == 0 && gone)
            continue;
        std::fprintf(stderr, "mallowby: another instance is running but did not answer: %s\n", qPrintable(error->message()));
        QCoreApplication::exit(1);
        co_return;
    }
}

QCoro::Task<SingleInstance::Role> SingleInstance::claim()
{
    if (!m_takesName || !m_bus.isConnected())
        co_return Role::alone;
    // In place before the name is ours, so that no call finds the name without the object.
    if (!m_registered)
        m_registered = m_bus.registerObject(objectPath, this, QDBusConnection::ExportScriptableSlots);
    QDBusMessage request = QDBusMessage::createMethodCall(busService, QStringLiteral("/org/freedesktop/DBus"), busService,
                                                          QStringLiteral("RequestName"));
    request << serviceName << doNotQueue;
    QDBusConnection bus = m_bus;
    QDBusPendingCall pending = bus.asyncCall(request);
    const QDBusMessage reply = co_await pending;
    if (reply.type() == QDBusMessage::ReplyMessage && !reply.arguments().isEmpty()) {
        const uint answer = reply.arguments().first().toUInt();
        if (answer == primaryOwner || answer == alreadyOwner)
            co_return Role::primary;
        co_return Role::secondary;
    }
    // Not allowed to own it (a bus policy): run without it.
    co_return Role::alone;
}

QCoro::Task<std::optional<QDBusError>> SingleInstance::activateRunning()
{
    QDBusMessage call = QDBusMessage::createMethodCall(serviceName, objectPath, QStringLiteral("org.freedesktop.Application"),
                                                       QStringLiteral("Activate"));
    call << QVariantMap();
    QDBusConnection bus = m_bus;
    QDBusPendingCall pending = bus.asyncCall(call, 10000);
    const QDBusMessage reply = co_await pending;
    if (reply.type() == QDBusMessage::ReplyMessage)
        co_return std::nullopt;
    co_return QDBusError(reply);
}

void SingleInstance::Activate(const QVariantMap&)
{
    emit activated();
}

} // namespace mallowby
