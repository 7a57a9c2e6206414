#include "Popover/SettingsPage/Switch.h"

#include "Popover/Controls/PopoverTheme.h"

#include <QPainter>
#include <QStyle>
#include <QStyleOptionFocusRect>

namespace mallowby {

namespace {

constexpr double trackWidth = 26;
constexpr double trackHeight = 15;

} // namespace

Switch::Switch(const QString& text, QWidget* parent) : QAbstractButton(parent)
{
    setText(text);
    setCheckable(true);
    setFocusPolicy(Qt::StrongFocus);
    setFont(PopoverTheme::font(PopoverTheme::Font::caption));
    setSizePolicy(QSizePolicy::Expanding, QSizePolicy::Fixed);
}

QSize Switch::sizeHint() const
{
    const QFontMetrics metrics(font());
    return {metrics.horizontalAdvance(text()) + 10 + int(trackWidth) + 2, std::max(metrics.height(), int(trackHeight)) + 4};
}

QSize Switch::minimumSizeHint() const
{
    return sizeHint();
}

QRectF Switch::track() const
{
    return {width() - trackWidth - 1, (height() - trackHeight) / 2, trackWidth, trackHeight};
}

void Switch::paintEvent(QPaintEvent*)
{
    QPainter painter(this);
    painter.setRenderHint(QPainter::Antialiasing);
    const QRectF box = track();

    painter.setPen(palette().color(isEnabled() ? QPalette::Active : QPalette::Disabled, QPalette::WindowText));
    painter.setFont(font());
    painter.drawText(QRectF(0, 0, box.left() - 6, height()), Qt::AlignLeft | Qt::AlignVCenter, text());

    painter.setPen(Qt::NoPen);
    painter.setBrush(isChecked() ? PopoverTheme::color(palette(), PopoverTheme::Tone::accent) : PopoverTheme::fill(palette(), 0.25));
    painter.drawRoundedRect(box, trackHeight / 2, trackHeight / 2);
    const double knob = trackHeight - 4;
    const double x = isChecked() ? box.right() - 2 - knob : box.left() + 2;
    painter.setBrush(QColor(Qt::white));
    painter.drawEllipse(QRectF(x, box.top() + 2, knob, knob));

    if (hasFocus()) {
        QStyleOptionFocusRect option;
        option.initFrom(this);
        option.rect = box.adjusted(-2, -2, 2, 2).toRect();
        style()->drawPrimitive(QStyle::PE_FrameFocusRect, &option, &painter, this);
    }
}

} // namespace mallowby
