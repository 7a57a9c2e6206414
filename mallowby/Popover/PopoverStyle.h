#pragma once

#include "Settings/Accent.h"

#include <QColor>
#include <QFont>

class QPalette;

namespace mallowby {

// Fonts and colours of the popover: the monospace family sized from the desktop's general font
// (so the user's font size is honoured), and the palette's text at the fixed opacities.
class PopoverStyle {
public:
    static constexpr QColor orange{0xFF, 0x95, 0x00};
    static constexpr QColor red{0xFF, 0x3B, 0x30};

    static QFont body();
    static QFont headline();
    static QFont caption();
    static QFont caption2();

    static QColor secondary(const QPalette& palette);
    static QColor tertiary(const QPalette& palette);
    static QColor faintFill(const QPalette& palette);
    static QColor quaternaryFill(const QPalette& palette);

    // The accent's colour; `system` takes the palette's highlight.
    static QColor color(Accent accent, const QPalette& palette);
};

} // namespace mallowby
