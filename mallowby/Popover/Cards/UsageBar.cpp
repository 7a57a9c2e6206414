#include "Popover/Cards/UsageBar.h"

#include "Popover/Controls/PopoverAccessibility.h"

#include <QPainter>

#include <algorithm>
#include <cmath>

namespace mallowby {

UsageBar::UsageBar(QWidget* parent) : QWidget(parent)
{
    setFixedHeight(5);
    setSizePolicy(QSizePolicy::Expanding, QSizePolicy::Fixed);
    PopoverAccessibility::hide(this);
}

void UsageBar::set(double fraction, PopoverTheme::Tone color)
{
    fraction = std::isnan(fraction) ? 0.0 : std::clamp(fraction, 0.0, 1.0);
    if (fraction == m_fraction && color == m_color)
        return;
    m_fraction = fraction;
    m_color = color;
    update();
}

void UsageBar::paintEvent(QPaintEvent*)
{
    QPainter painter(this);
    painter.setRenderHint(QPainter::Antialiasing);
    painter.setPen(Qt::NoPen);
    const QRectF track(rect());
    const double radius = track.height() / 2;
    painter.setBrush(PopoverTheme::fill(palette(), 0.1));
    painter.drawRoundedRect(track, radius, radius);
    if (m_fraction <= 0)
        return;
    painter.setBrush(PopoverTheme::color(palette(), m_color));
    painter.drawRoundedRect(QRectF(track.left(), track.top(), std::max(track.height(), track.width() * m_fraction), track.height()),
                            radius, radius);
}

} // namespace mallowby
