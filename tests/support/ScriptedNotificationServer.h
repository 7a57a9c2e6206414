#pragma once

#include "Platform/NotificationServer.h"
#include "Support/Clock.h"

#include <QStringList>

#include <chrono>
#include <functional>
#include <optional>

namespace mallowby::test {

// The desktop's notification service as a test scripts it: the status it reports (after `delay`),
// its answer to a request and its settings command; what it is asked is recorded. By default it
// never lets anything be posted.
class ScriptedNotificationServer final : public NotificationServer {
public:
    QCoro::Task<Authorization> authorization() override
    {
        ++reads;
        const Authorization reported = status;
        if (delay)
            co_await Clock::system().sleep(*delay);
        co_return reported;
    }
    QCoro::Task<bool> requestAuthorization() override
    {
        ++requests;
        status = answer;
        co_return answer == Authorization::authorized;
    }
    void post(const Notice& notice) override { posted.append(notice); }
    void withdraw(const QString& identifier) override { withdrawn << identifier; }
    std::optional<QStringList> settingsCommand() const override { return command; }
    void setOnServerChanged(std::function<void()> callback) override { serverChanged = std::move(callback); }

    Authorization status = Authorization::denied;
    Authorization answer = Authorization::denied;       // to a request
    std::optional<std::chrono::milliseconds> delay;     // of a read of the status
    std::optional<QStringList> command;
    std::function<void()> serverChanged;
    int reads = 0, requests = 0;
    QList<Notice> posted;
    QStringList withdrawn;
};

} // namespace mallowby::test
