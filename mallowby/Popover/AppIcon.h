#pragma once

#include "Eject/OwningApp.h"

#include <QIcon>

#include <optional>

namespace mallowby {

// The icon of a running desktop application: the Icon of its desktop entry, a theme name or a
// file path. Entries are read once per desktop file.
class AppIcon {
public:
    // None when the app has no desktop entry, the entry no Icon, or the theme no such icon.
    static std::optional<QIcon> of(const OwningApp& app);
};

} // namespace mallowby
