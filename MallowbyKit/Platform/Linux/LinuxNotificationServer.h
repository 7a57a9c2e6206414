#pragma once

#include "Platform/NotificationServer.h"

#include <QCoro/QCoroTask>
#include <QDBusConnection>
#include <QHash>
#include <QObject>
#include <QPointer>
#include <QSet>

namespace mallowby {

// org.freedesktop.Notifications on the session bus, asynchronous calls only. A server that answers
// counts as authorization; none (or no session bus) as denied. Notices with an identifier that was
// shown before replace it through replaces_id; a sound is asked for with the "complete" sound name.
class LinuxNotificationServer final : public QObject, public NotificationServer {
    Q_OBJECT
public:
    static constexpr int callTimeoutMs = 5000;

    explicit LinuxNotificationServer(QDBusConnection bus, QObject* parent = nullptr);
    // On the user's session bus.
    LinuxNotificationServer();

    QCoro::Task<Authorization> authorization() override;
    // There is no permission prompt: granted exactly when a server answers.
    QCoro::Task<bool> requestAuthorization() override;
    void post(const Notice& notice) override;
    void withdraw(const QString& identifier) override;
    std::optional<QStringList> settingsCommand() const override;

    // The settings program of a desktop named in XDG_CURRENT_DESKTOP form ("ubuntu:GNOME").
    static std::optional<QStringList> settingsCommandFor(const QString& currentDesktop);

    // The server's id of the notice last shown under this identifier, while it is open.
    std::optional<uint> serverID(const QString& identifier) const;

private Q_SLOTS:
    void notificationClosed(uint id, uint reason);

private:
    void send(const Notice& notice);
    void close(uint id);
    static QCoro::Task<> deliver(QPointer<LinuxNotificationServer> self, Notice notice, uint replaces);

    QDBusConnection m_bus;
    QHash<QString, uint> m_ids;
    // Identifiers whose Notify has not been answered yet, and the newest notice waiting behind each:
    // it needs the answer's id to replace the one on its way.
    QSet<QString> m_sending;
    QHash<QString, Notice> m_waiting;
    // Identifiers withdrawn while their Notify was on its way: closed once it is answered.
    QSet<QString> m_withdrawn;
};

} // namespace mallowby
