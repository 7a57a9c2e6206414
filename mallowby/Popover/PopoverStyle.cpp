#include "Popover/PopoverStyle.h"

#include <QApplication>
#include <QFontDatabase>
#include <QPalette>

#include <algorithm>

namespace mallowby {

namespace {

QFont monospace(double factor)
{
    QFont font = QFontDatabase::systemFont(QFontDatabase::FixedFont);
    const double general = QApplication::font().pointSizeF() > 0 ? QApplication::font().pointSizeF() : 10.0;
    font.setPointSizeF(std::max(7.0, general * factor));
    return font;
}

QColor text(const QPalette& palette, double opacity)
{
    QColor color = palette.color(QPalette::WindowText);
    color.setAlphaF(float(opacity));
    return color;
}

} // namespace

QFont PopoverStyle::body()
{
    return monospace(1.0);
}

QFont PopoverStyle::headline()
{
    QFont font = monospace(1.0);
    font.setWeight(QFont::DemiBold);
    return font;
}

QFont PopoverStyle::caption()
{
    return monospace(0.85);
}

QFont PopoverStyle::caption2()
{
    return monospace(0.77);
}

QColor PopoverStyle::secondary(const QPalette& palette)
{
    return text(palette, 0.60);
}

QColor PopoverStyle::tertiary(const QPalette& palette)
{
    return text(palette, 0.35);
}

QColor PopoverStyle::faintFill(const QPalette& palette)
{
    return text(palette, 0.05);
}

QColor PopoverStyle::quaternaryFill(const QPalette& palette)
{
    return text(palette, 0.08);
}

QColor PopoverStyle::color(Accent accent, const QPalette& palette)
{
    if (accent == Accent::system)
        return palette.color(QPalette::Highlight);
    const Accent::Color c = accent.color();
    return QColor::fromRgbF(float(c.red), float(c.green), float(c.blue));
}

} // namespace mallowby
