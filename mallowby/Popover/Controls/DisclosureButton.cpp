#include "Popover/Controls/DisclosureButton.h"

#include <QPainter>
#include <QStyleOptionFocusRect>

namespace mallowby {

namespace {

constexpr int triangle = 8;
constexpr int gap = 4;

} // namespace

DisclosureButton::DisclosureButton(QWidget* parent) : QAbstractButton(parent)
{
    setCheckable(true);
    setFocusPolicy(Qt::StrongFocus);
    setSizePolicy(QSizePolicy::Fixed, QSizePolicy::Fixed);
}

QSize DisclosureButton::sizeHint() const
{
    const QFontMetrics metrics(font());
    return {triangle + gap + metrics.horizontalAdvance(text()) + 4, metrics.height() + 2};
}

void DisclosureButton::paintEvent(QPaintEvent*)
{
    QPainter painter(this);
    painter.setRenderHint(QPainter::Antialiasing);
    const QColor color = palette().color(QPalette::WindowText);
    const QRectF box(0, (height() - triangle) / 2.0, triangle, triangle);
    QPolygonF shape;
    if (isChecked())
        shape << box.topLeft() + QPointF(0, 1.5) << box.topRight() + QPointF(0, 1.5) << QPointF(box.center().x(), box.bottom() - 1);
    else
        shape << box.topLeft() + QPointF(1.5, 0) << QPointF(box.right() - 1, box.center().y()) << box.bottomLeft() + QPointF(1.5, 0);
    painter.setPen(Qt::NoPen);
    painter.setBrush(color);
    painter.drawPolygon(shape);

    painter.setPen(color);
    const QRect textRect = rect().adjusted(triangle + gap, 0, 0, 0);
    painter.drawText(textRect, Qt::AlignLeft | Qt::AlignVCenter, text());
    if (hasFocus()) {
        QStyleOptionFocusRect option;
        option.initFrom(this);
        style()->drawPrimitive(QStyle::PE_FrameFocusRect, &option, &painter, this);
    }
}

} // namespace mallowby
