#pragma once

#include <QCoro/QCoroTask>
#include <QString>
#include <QStringList>

#include <optional>

namespace mallowby {

// The desktop's notification service: whether notices may be shown, and showing them.
class NotificationServer {
public:
    // The raw values are what the echo line and the settings page show.
    enum class Authorization : int { notDetermined = 0, denied = 1, authorized = 2, provisional = 3 };

    struct Notice {
        // A later notice with the same identifier replaces the earlier one.
        QString identifier;
        QString title;
        QString body;
        bool withSound = false;

        bool operator==(const Notice&) const = default;
    };

    virtual ~NotificationServer() = default;

    // The current status. Resumes on the main thread.
    virtual QCoro::Task<Authorization> authorization() = 0;
    // Asks the user for permission where the desktop has such a prompt; true when granted.
    virtual QCoro::Task<bool> requestAuthorization() = 0;
    // Shows the notice now; failures are dropped.
    virtual void post(const Notice& notice) = 0;
    // Takes down the notice last shown under this identifier, where the desktop allows it.
    virtual void withdraw(const QString& identifier) { Q_UNUSED(identifier) }
    // The program and arguments that open the desktop's notification settings; none where unknown.
    virtual std::optional<QStringList> settingsCommand() const = 0;
};

} // namespace mallowby
