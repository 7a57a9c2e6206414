#include "Popover/PopoverStyle.h"

#include <QApplication>
#include <QFontDatabase>
#include <QPalette>
#include <QWidget>

#include <algorithm>

namespace mallowby {

namespace {

constexpr const char* textProperty = "mallowbyText";

QColor withAlpha(QColor color, double alpha)
{
    color.setAlphaF(alpha);
    return color;
}

QFont scaled(double factor, QFont::Weight weight = QFont::Normal)
{
    const double body = QApplication::font().pointSizeF() > 0 ? QApplication::font().pointSizeF() : 10.0;
    QFont font = QFontDatabase::systemFont(QFontDatabase::FixedFont);
    font.setPointSizeF(std::max(7.0, body * factor));
    font.setWeight(weight);
    return font;
}

bool isSecondary(PopoverStyle::Text text)
{
    return text == PopoverStyle::Text::captionSecondary || text == PopoverStyle::Text::caption2Secondary;
}

void apply(QWidget* widget, PopoverStyle::Text text)
{
    widget->setFont(PopoverStyle::font(text));
    QPalette palette = widget->palette();
    const QPalette inherited = widget->parentWidget() ? widget->parentWidget()->palette() : QApplication::palette();
    const QColor color = isSecondary(text) ? PopoverStyle::secondary(inherited) : inherited.color(QPalette::WindowText);
    palette.setColor(QPalette::WindowText, color);
    palette.setColor(QPalette::Text, color);
    widget->setPalette(palette);
}

} // namespace

QFont PopoverStyle::font(Text text)
{
    switch (text) {
    case Text::body: return scaled(1.0);
    case Text::headline: return scaled(1.0, QFont::DemiBold);
    case Text::caption:
    case Text::captionSecondary: return scaled(0.85);
    case Text::captionStrong: return scaled(0.85, QFont::DemiBold);
    case Text::caption2Secondary: return scaled(0.77);
    }
    return scaled(1.0);
}

QColor PopoverStyle::secondary(const QPalette& palette) { return withAlpha(palette.color(QPalette::WindowText), 0.60); }
QColor PopoverStyle::tertiary(const QPalette& palette) { return withAlpha(palette.color(QPalette::WindowText), 0.35); }
QColor PopoverStyle::faintFill(const QPalette& palette) { return withAlpha(palette.color(QPalette::WindowText), 0.05); }
QColor PopoverStyle::quaternaryFill(const QPalette& palette) { return withAlpha(palette.color(QPalette::WindowText), 0.08); }

void PopoverStyle::setText(QWidget* widget, Text text)
{
    widget->setProperty(textProperty, static_cast<int>(text));
    apply(widget, text);
}

void PopoverStyle::restyle(QWidget* root)
{
    QList<QWidget*> widgets = root->findChildren<QWidget*>();
    widgets.prepend(root);
    for (QWidget* widget : widgets) {
        const QVariant stored = widget->property(textProperty);
        if (stored.isValid())
            apply(widget, static_cast<Text>(stored.toInt()));
    }
}

} // namespace mallowby
