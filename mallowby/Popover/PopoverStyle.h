#pragma once

#include <QColor>
#include <QFont>

class QPalette;
class QWidget;

namespace mallowby {

// The popover's text styles and colours: the monospace family sized relative to the desktop's
// general font, and the secondary, tertiary and fill colours derived from the palette's text.
class PopoverStyle {
public:
    enum class Text {
        body,
        headline,           // body, semibold
        caption,            // about 0.85 × body
        captionSecondary,
        captionStrong,      // caption, semibold
        caption2Secondary,  // about 0.77 × body, the smallest
    };

    static constexpr QColor orange{0xFF, 0x95, 0x00};
    static constexpr QColor red{0xFF, 0x3B, 0x30};

    static QFont font(Text text);
    static QColor secondary(const QPalette& palette);
    static QColor tertiary(const QPalette& palette);
    static QColor faintFill(const QPalette& palette);
    static QColor quaternaryFill(const QPalette& palette);

    // Gives a widget a text style, kept across palette changes by restyle().
    static void setText(QWidget* widget, Text text);
    // Applies the stored text styles of `root` and its descendants again (after a palette change).
    static void restyle(QWidget* root);
};

} // namespace mallowby
