#include "Popover/Cards/Card.h"

#include "Popover/Controls/PopoverTheme.h"

#include <QPainter>
#include <QVBoxLayout>

namespace mallowby {

Card::Card(QWidget* parent) : QWidget(parent), m_column(new QVBoxLayout(this))
{
    m_column->setContentsMargins(10, 10, 10, 10);
    m_column->setSpacing(8);
    m_column->setAlignment(Qt::AlignTop);
}

void Card::setHighlighted(bool highlighted)
{
    if (highlighted == m_highlighted)
        return;
    m_highlighted = highlighted;
    update();
}

void Card::paintEvent(QPaintEvent*)
{
    QPainter painter(this);
    painter.setRenderHint(QPainter::Antialiasing);
    QColor border;
    if (m_highlighted) {
        border = QColor::fromRgba(PopoverTheme::orange);
        border.setAlphaF(0.6f);
    } else {
        border = PopoverTheme::color(palette(), PopoverTheme::Tone::accent);
        border.setAlphaF(PopoverTheme::increasedContrast() ? 0.5f : 0.18f);
    }
    painter.setPen(QPen(border, 1));
    painter.setBrush(PopoverTheme::fill(palette(), 0.05));
    // The border lies inside the rectangle.
    painter.drawRoundedRect(QRectF(rect()).adjusted(0.5, 0.5, -0.5, -0.5), 10, 10);
}

} // namespace mallowby
