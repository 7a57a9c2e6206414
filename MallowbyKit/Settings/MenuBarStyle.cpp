#include "Settings/MenuBarStyle.h"

namespace mallowby {

const QList<MenuBarStyle>& MenuBarStyle::allCases()
{
    static const QList<MenuBarStyle> cases{icon, space, activity, spaceActivity};
    return cases;
}

QString MenuBarStyle::rawValue() const
{
    switch (m_value) {
    case icon: return QStringLiteral("icon");
    case space: return QStringLiteral("space");
    case activity: return QStringLiteral("activity");
    case spaceActivity: return QStringLiteral("spaceActivity");
    }
    return QStringLiteral("icon");
}

std::optional<MenuBarStyle> MenuBarStyle::fromRawValue(const QString& text)
{
    for (MenuBarStyle style : allCases())
        if (style.rawValue() == text)
            return style;
    return std::nullopt;
}

QString MenuBarStyle::displayName() const
{
    switch (m_value) {
    case icon: return QStringLiteral("Icon");
    case space: return QStringLiteral("Space");
    case activity: return QStringLiteral("Activity");
    case spaceActivity: return QStringLiteral("Space and Activity");
    }
    return QStringLiteral("Icon");
}

MenuBarStyle MenuBarStyle::resolved(bool hasVolume, bool duringTransfers, bool transferring) const
{
    if (duringTransfers && transferring) {
        if (m_value == spaceActivity && hasVolume)
            return spaceActivity;
        return activity;
    }
    if (hasVolume)
        return *this;
    switch (m_value) {
    case space: return icon;
    case spaceActivity: return activity;
    default: return *this;
    }
}

QList<MenuBarStyle> MenuBarStyle::reserved(bool duringTransfers) const
{
    QList<MenuBarStyle> styles{*this};
    if (m_value == space)
        styles << icon;
    else if (m_value == spaceActivity)
        styles << activity;
    if (duringTransfers && (m_value == icon || m_value == space))
        styles << activity;
    return styles;
}

} // namespace mallowby
