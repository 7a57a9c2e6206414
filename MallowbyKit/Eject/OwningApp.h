#pragma once

#include <QString>

#include <optional>

namespace mallowby {

// The desktop application a blocking process belongs to.
struct OwningApp {
    qint32 pid = 0;  // the app's own process; may be an ancestor of the blocker
    QString name{};
    std::optional<QString> bundleIdentifier{};  // the app id
    std::optional<QString> bundlePath{};        // the desktop file
    std::optional<quint64> startTime{};         // of the app's process, to tell a reused pid apart

    bool operator==(const OwningApp&) const = default;
};

} // namespace mallowby
