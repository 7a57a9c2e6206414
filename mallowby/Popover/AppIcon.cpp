#include "Popover/AppIcon.h"

#include "Platform/Linux/DesktopEntry.h"

#include <QDir>
#include <QHash>
#include <QLocale>

namespace mallowby {

std::optional<QIcon> AppIcon::of(const OwningApp& app)
{
    if (!app.bundlePath)
        return std::nullopt;
    // Desktop entries lie in the XDG data folders, never on the drive being ejected.
    static QHash<QString, std::optional<QString>> iconNames;
    auto it = iconNames.find(*app.bundlePath);
    if (it == iconNames.end()) {
        const auto entry = DesktopEntry::load(*app.bundlePath, QLocale().name());
        it = iconNames.insert(*app.bundlePath, entry ? entry->icon : std::nullopt);
    }
    if (!*it || (*it)->isEmpty())
        return std::nullopt;
    const QIcon icon = QDir::isAbsolutePath(**it) ? QIcon(**it) : QIcon::fromTheme(**it);
    if (icon.isNull() || (icon.availableSizes().isEmpty() && icon.name().isEmpty()))
        return std::nullopt;
    return icon;
}

} // namespace mallowby
