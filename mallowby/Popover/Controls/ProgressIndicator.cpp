#include "Popover/Controls/ProgressIndicator.h"

#include "Popover/Controls/PopoverAccessibility.h"
#include "Popover/Controls/PopoverTheme.h"

#include <QPainter>
#include <QTimerEvent>

namespace mallowby {

namespace {
constexpr int steps = 12;
constexpr int intervalMs = 80;
} // namespace

ProgressIndicator::ProgressIndicator(int side, QWidget* parent) : QWidget(parent)
{
    setFixedSize(side, side);
    PopoverAccessibility::hide(this);  // the text beside it says what runs
}

void ProgressIndicator::paintEvent(QPaintEvent*)
{
    QPainter painter(this);
    painter.setRenderHint(QPainter::Antialiasing);
    QPen pen(PopoverTheme::color(palette(), PopoverTheme::Tone::secondary), 1.5, Qt::SolidLine, Qt::RoundCap);
    painter.setPen(pen);
    const QRectF r = QRectF(rect()).adjusted(1.5, 1.5, -1.5, -1.5);
    painter.drawArc(r, -m_step * (360 / steps) * 16, 270 * 16);
}

void ProgressIndicator::showEvent(QShowEvent* event)
{
    QWidget::showEvent(event);
    m_timer.start(intervalMs, this);
}

void ProgressIndicator::hideEvent(QHideEvent* event)
{
    QWidget::hideEvent(event);
    m_timer.stop();
}

void ProgressIndicator::timerEvent(QTimerEvent* event)
{
    if (event->timerId() != m_timer.timerId())
        return QWidget::timerEvent(event);
    m_step = (m_step + 1) % steps;
    update();
}

} // namespace mallowby
