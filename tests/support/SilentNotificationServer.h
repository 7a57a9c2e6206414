#pragma once

#include "Platform/NotificationServer.h"

namespace mallowby::test {

// A notification server that is never allowed to post; for rigs that need a notifier but no notices.
class SilentNotificationServer final : public NotificationServer {
public:
    QCoro::Task<Authorization> authorization() override { co_return Authorization::denied; }
    QCoro::Task<bool> requestAuthorization() override { co_return false; }
    void post(const Notice&) override {}
    std::optional<QStringList> settingsCommand() const override { return std::nullopt; }
};

} // namespace mallowby::test
