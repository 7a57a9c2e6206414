#include "Popover/SettingsPage/AccentSwatch.h"

#include "Popover/Controls/PopoverTheme.h"

#include <QPainter>

namespace mallowby {

AccentSwatch::AccentSwatch(Accent accent, QWidget* parent) : QPushButton(parent), m_accent(accent)
{
    setCheckable(true);
    setFocusPolicy(Qt::StrongFocus);
    setAccessibleName(spokenName(accent));
    setToolTip(spokenName(accent));
    setFixedSize(sizeHint());
}

QString AccentSwatch::spokenName(Accent accent)
{
    switch (accent) {
    case Accent::phosphor: return QStringLiteral("Phosphor Green");
    case Accent::cyan: return QStringLiteral("Cyan");
    case Accent::magenta: return QStringLiteral("Magenta");
    case Accent::amber: return QStringLiteral("Amber");
    case Accent::system: return QStringLiteral("System");
    }
    return {};
}

QSize AccentSwatch::sizeHint() const
{
    return {diameter + 4, diameter + 4};
}

void AccentSwatch::paintEvent(QPaintEvent*)
{
    QPainter painter(this);
    painter.setRenderHint(QPainter::Antialiasing);
    const QRectF circle(2, 2, diameter, diameter);
    painter.setPen(Qt::NoPen);
    painter.setBrush(PopoverTheme::accentColor(m_accent));
    painter.drawEllipse(circle);
    if (isChecked()) {
        painter.setPen(QPen(PopoverTheme::color(palette(), PopoverTheme::Tone::primary), 2));
        painter.setBrush(Qt::NoBrush);
        painter.drawEllipse(circle.adjusted(1, 1, -1, -1));
    }
    if (hasFocus()) {
        QColor ring = palette().color(QPalette::Highlight);
        painter.setPen(QPen(ring, 1, Qt::DotLine));
        painter.setBrush(Qt::NoBrush);
        painter.drawEllipse(QRectF(rect()).adjusted(0.5, 0.5, -0.5, -0.5));
    }
}

} // namespace mallowby
