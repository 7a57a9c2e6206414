#include "Popover/TraceView.h"

#include "Popover/PopoverAccessibility.h"

#include <QLinearGradient>
#include <QPainter>
#include <QPainterPath>

#include <algorithm>
#include <cmath>

namespace mallowby {

namespace {

// One series between `baseline` and `edge` (above or below it).
void drawSeries(QPainter& painter, const QList<double>& values, double scale, const QColor& color, double left,
                double width, double baseline, double edge)
{
    const qsizetype n = values.size();
    if (n < 2 || !(scale > 0))
        return;
    const double height = edge - baseline;  // negative when rising
    QPainterPath line;
    for (qsizetype i = 0; i < n; ++i) {
        const double v = std::isnan(values[i]) ? 0.0 : std::clamp(values[i] / scale, 0.0, 1.0);
        const QPointF point(left + double(i) * width / double(n - 1), baseline + v * height);
        if (i == 0)
            line.moveTo(point);
        else
            line.lineTo(point);
    }
    QPainterPath area = line;
    area.lineTo(left + width, baseline);
    area.lineTo(left, baseline);
    area.closeSubpath();

    QLinearGradient gradient(0, edge, 0, baseline);
    QColor far = color, near = color;
    far.setAlphaF(0.28f);
    near.setAlphaF(0.02f);
    gradient.setColorAt(0, far);
    gradient.setColorAt(1, near);
    painter.fillPath(area, gradient);
    painter.strokePath(line, QPen(color, 1.5, Qt::SolidLine, Qt::FlatCap, Qt::RoundJoin));
}

} // namespace

TraceView::TraceView(QWidget* parent) : QWidget(parent)
{
    setFixedHeight(40);
    setSizePolicy(QSizePolicy::Expanding, QSizePolicy::Fixed);
    PopoverAccessibility::hide(this);
}

void TraceView::set(const Series& values, double scale, const std::optional<Series>& mirror)
{
    if (values == m_values && scale == m_scale && mirror == m_mirror)
        return;
    m_values = values;
    m_scale = scale;
    m_mirror = mirror;
    update();
}

void TraceView::draw(QPainter& painter, const QRectF& r, const QPalette& palette, const Series& values, double scale,
                     const std::optional<Series>& mirror)
{
    painter.save();
    painter.setRenderHint(QPainter::Antialiasing);
    const double baseline = mirror ? r.top() + r.height() / 2 : r.bottom();
    drawSeries(painter, values.values, scale, PopoverTheme::color(palette, values.color), r.left(), r.width(), baseline,
               r.top());
    if (mirror)
        drawSeries(painter, mirror->values, scale, PopoverTheme::color(palette, mirror->color), r.left(), r.width(),
                   baseline, r.bottom());
    QColor line = PopoverTheme::color(palette, PopoverTheme::Tone::secondary);
    line.setAlphaF(line.alphaF() * 0.4f);
    // At the bottom edge the line lies just inside the area.
    const double y = mirror ? baseline - 0.25 : r.bottom() - 0.5;
    painter.fillRect(QRectF(r.left(), y, r.width(), 0.5), line);
    painter.restore();
}

void TraceView::paintEvent(QPaintEvent*)
{
    QPainter painter(this);
    draw(painter, QRectF(rect()), palette(), m_values, m_scale, m_mirror);
}

} // namespace mallowby
