#pragma once

#include <QString>

#include <optional>

namespace mallowby {

// A running desktop application, known by its own (first) process.
struct RunningApplication {
    qint32 pid = 0;
    std::optional<QString> name;              // the entry's localized name
    std::optional<QString> bundleIdentifier;  // the app id
    std::optional<QString> bundlePath;        // the desktop file
    std::optional<QString> iconName;
    bool isRegular = true;  // shown to the user (not NoDisplay)

    bool operator==(const RunningApplication&) const = default;
};

} // namespace mallowby
