#pragma once

#include <QColor>
#include <QPixmap>
#include <QString>

namespace mallowby {

// A symbol as the popover shows it: the desktop theme's icon where the theme has one, else the
// program's own drawing in the given colour, so the popover looks complete on a bare machine.
class SymbolIcon {
public:
    // `size` points square at `devicePixelRatio`; a null pixmap when neither source has the symbol.
    static QPixmap pixmap(const QString& symbol, int size, const QColor& color, qreal devicePixelRatio);

    // The theme icon names for a symbol, in order of preference.
    static QStringList themeNames(const QString& symbol);
};

} // namespace mallowby
