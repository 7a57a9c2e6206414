#pragma once

#include "Eject/Blocker.h"

#include <QIcon>

#include <chrono>
#include <functional>
#include <optional>

class QObject;

namespace mallowby {

// The icon of the app a blocker belongs to: the Icon of its desktop entry, a theme name or a file
// path. Entries are read once per desktop file. An icon file is read on a thread of its own,
// given up after `readLimit` (a hung network /opt never stalls the popover), and never when it
// lies on a mount the blocker holds (the drive being ejected); until it is read, or when it cannot
// be, the theme icon of the same name stands in.
class AppIcon {
public:
    static constexpr std::chrono::milliseconds readLimit{1500};

    // None when there is no icon (yet). When an icon file read under way ends, `ready` runs on
    // this thread (not after `context` is gone), so the caller asks again.
    static std::optional<QIcon> of(const Blocker& blocker, const QObject* context, std::function<void()> ready);
};

} // namespace mallowby
