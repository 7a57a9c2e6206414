#include "MenuBar/SquareIcon.h"

#include <QPainter>
#include <QPainterPath>

#include <algorithm>
#include <cmath>

namespace mallowby {

namespace {

const QColor lowColor(0xff, 0x95, 0x00);

} // namespace

QColor SquareIcon::ink(bool darkPanel)
{
    return darkPanel ? QColor(0xf2, 0xf2, 0xf2) : QColor(0x20, 0x20, 0x20);
}

QImage SquareIcon::render(const State& state, int pixels, const Colors& colors)
{
    const int n = std::max(pixels, 8);
    QImage image(n, n, QImage::Format_ARGB32_Premultiplied);
    image.fill(Qt::transparent);
    QPainter painter(&image);
    painter.setRenderHint(QPainter::Antialiasing);

    // 1.5-px strokes at 22 px, never thinner than one pixel; edges on half pixels stay crisp.
    const double stroke = std::max(1.0, std::round(n * 1.5 / 22 * 2) / 2);
    const double unit = n / 16.0;
    // The body: a wide box in the lower three quarters of the cell.
    const QRectF body(stroke / 2, std::round(5 * unit) + stroke / 2, n - stroke, n - std::round(5 * unit) - stroke);
    painter.setPen(QPen(colors.ink, stroke));
    painter.setBrush(Qt::NoBrush);
    painter.drawRoundedRect(body, 2 * unit, 2 * unit);

    // The fill bar along the foot, on a faint track; without a reading a small light sits there.
    const QRectF inner = body.adjusted(stroke / 2 + unit, stroke / 2 + unit, -stroke / 2 - unit, -stroke / 2 - unit);
    const QRectF track(inner.left(), inner.bottom() - std::max(2.0, std::round(4 * unit)), inner.width(),
                       std::max(2.0, std::round(4 * unit)));
    painter.setPen(Qt::NoPen);
    if (state.used) {
        QColor faint = colors.ink;
        faint.setAlphaF(0.3f);
        painter.setBrush(faint);
        painter.drawRect(track);
        const double used = std::clamp(*state.used, 0.0, 1.0);
        // Any use shows at least a pixel, a full volume fills the track.
        const double width = used > 0 ? std::max(1.0, std::round(track.width() * used)) : 0;
        painter.setBrush(state.low ? lowColor : colors.accent);
        painter.drawRect(QRectF(track.left(), track.top(), width, track.height()));
    } else {
        painter.setBrush(colors.ink);
        const double dot = std::max(2.0, std::round(2.5 * unit));
        painter.drawEllipse(QRectF(inner.right() - dot, track.center().y() - dot / 2, dot, dot));
    }

    // Activity: a downward mark (read) at the top left, an upward one (write) at the top right.
    const double markWidth = std::round(6 * unit);
    const double markHeight = std::round(4 * unit);
    const auto mark = [&](double left, bool down, const QColor& color) {
        QPainterPath path;
        if (down) {
            path.moveTo(left, 0);
            path.lineTo(left + markWidth, 0);
            path.lineTo(left + markWidth / 2, markHeight);
        } else {
            path.moveTo(left, markHeight);
            path.lineTo(left + markWidth, markHeight);
            path.lineTo(left + markWidth / 2, 0);
        }
        path.closeSubpath();
        painter.fillPath(path, color);
    };
    if (state.reading)
        mark(std::round(unit), true, colors.accent);
    if (state.writing)
        mark(n - std::round(unit) - markWidth, false, colors.write);
    return image;
}

} // namespace mallowby
