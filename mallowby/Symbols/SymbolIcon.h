#pragma once

#include <QColor>
#include <QIcon>
#include <QPixmap>
#include <QString>

namespace mallowby {

// A symbol for the popover: the desktop icon theme's icon where the theme has one, else the
// program's own drawn symbol in the given colour, so the popover looks complete on a bare machine.
class SymbolIcon {
public:
    // The symbol drawn at `pointSize`; a theme icon where one exists. A null icon for an unknown name.
    static QIcon icon(const QString& symbol, const QColor& color, double pointSize = 13);
    // The drawn symbol centred in a square of `side` points, at `devicePixelRatio`.
    static QPixmap drawn(const QString& symbol, const QColor& color, double side, double devicePixelRatio);
    // Theme icon names standing in for a symbol, in order of preference.
    static QStringList themeNames(const QString& symbol);
};

} // namespace mallowby
