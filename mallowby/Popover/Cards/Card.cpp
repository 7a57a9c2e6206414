#include "Popover/Cards/Card.h"

#include "Popover/Controls/PopoverTheme.h"

#include <QPaintEvent>
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

void Card::paintEvent(QPaintEvent* event)
{
    QPainter painter(this);
    QColor border;
    if (m_highlighted) {
        border = QColor::fromRgba(PopoverTheme::orange);
        border.setAlphaF(0.6f);
    } else {
        border = PopoverTheme::color(palette(), PopoverTheme::Tone::accent);
        border.setAlphaF(PopoverTheme::increasedContrast() ? 0.5f : 0.18f);
    }
    PopoverTheme::paintPanel(painter, rect(), event->region(), PopoverTheme::fill(palette(), 0.05), border, 10);
}

} // namespace mallowby
