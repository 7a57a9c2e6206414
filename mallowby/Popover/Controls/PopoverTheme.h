#pragma once

#include "Settings/Accent.h"

#include <QColor>
#include <QFont>
#include <QPalette>
#include <QPointer>

#include <QCoro/QCoroTask>
#include <QString>

class QLabel;
class QPainter;
class QRect;
class QRegion;
class QWidget;

namespace mallowby {

// The popover's fonts and colours. Text is the monospace family sized from the desktop's general
// font; colours come from the palette, the accent and write colours from the preferences, set on
// the palette of the popover's tree (Link and LinkVisited) so that every view below it inherits them.
class PopoverTheme {
public:
    enum class Font { body, headline, caption, captionSemibold, caption2 };
    enum class Tone { primary, secondary, tertiary, accent, write, orange, red };

    static constexpr QRgb orange = 0xFFFF9500;
    static constexpr QRgb red = 0xFFFF3B30;
    static constexpr double minimumPointSize = 7;

    static QFont font(Font role);
    static QColor color(const QPalette& palette, Tone tone);
    // Text colour at `opacity`: the faint (0.05) and quaternary (0.08) fills.
    static QColor fill(const QPalette& palette, double opacity);

    // The accent and write colours of the tree below `root`.
    static void setAccent(QWidget* root, Accent accent);
    // An accent's colour; `system` is the desktop's highlight.
    static QColor accentColor(Accent accent);

    // A rounded panel in `rect`: `fill` within a one-pixel `border` that lies inside the rectangle.
    // When every part of `exposed` lies clear of the border and the corners, only those parts are
    // filled: the same pixels, without rasterising the outline for each changed figure on a card.
    static void paintPanel(QPainter& painter, const QRect& rect, const QRegion& exposed, const QColor& fill,
                           const QColor& border, double radius);

    // The widget's text, button text and foreground in `tone`, kept when the palette around it changes.
    static void setTone(QWidget* widget, Tone tone);
    // A widget's font and the tone of its text.
    static void setText(QWidget* widget, Font font, Tone tone);
    // A label in a font and a tone.
    static QLabel* label(const QString& text, Font font, Tone tone, QWidget* parent);

    // The desktop's increased-contrast setting, off until known.
    static bool increasedContrast();
    // Asks the desktop portal once ("org.freedesktop.appearance" "contrast", 1 = more); without a
    // portal the setting stays off. `repaint` is repainted when the answer changes the setting.
    static QCoro::Task<> readIncreasedContrast(QPointer<QWidget> repaint);
};

} // namespace mallowby
