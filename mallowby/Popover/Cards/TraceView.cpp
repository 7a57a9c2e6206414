#include "Popover/Cards/TraceView.h"

#include "Popover/Controls/PopoverAccessibility.h"

#include <QEvent>
#include <QLinearGradient>
#include <QPainter>
#include <QPainterPath>

#include <algorithm>
#include <cmath>
#include <cstring>

namespace mallowby {

namespace {

// The points of a step drawn again: the new one and the three before it, whose lines reach into
// the strip that is cleared.
constexpr qsizetype stepPoints = 4;
// A step narrower than this (logical pixels) draws the whole picture.
constexpr double minimumStep = 2;

// One series between `baseline` and `edge` (above or below it), from point `from` on, moved
// right by `dx`.
void drawSeries(QPainter& painter, const QList<double>& values, double scale, const QColor& color, double left,
                double width, double baseline, double edge, qsizetype from = 0, double dx = 0)
{
    const qsizetype n = values.size();
    if (n < 2 || !(scale > 0))
        return;
    from = std::clamp<qsizetype>(from, 0, n - 2);
    const double height = edge - baseline;  // negative when rising
    const auto x = [&](qsizetype i) { return left + double(i) * width / double(n - 1) + dx; };
    QPainterPath line;
    for (qsizetype i = from; i < n; ++i) {
        const double v = std::isnan(values[i]) ? 0.0 : std::clamp(values[i] / scale, 0.0, 1.0);
        const QPointF point(x(i), baseline + v * height);
        if (i == from)
            line.moveTo(point);
        else
            line.lineTo(point);
    }
    QPainterPath area = line;
    area.lineTo(x(n - 1), baseline);
    area.lineTo(x(from), baseline);
    area.closeSubpath();

    QLinearGradient gradient(0, edge, 0, baseline);
    QColor far = color, near = color;
    far.setAlphaF(0.28f);
    near.setAlphaF(0.02f);
    gradient.setColorAt(0, far);
    gradient.setColorAt(1, near);
    painter.fillPath(area, gradient);
    painter.strokePath(line, QPen(color, 1.5, Qt::SolidLine, Qt::FlatCap, Qt::BevelJoin));
}

// The whole picture (from 0) or its newest points, in the painter's clip.
void drawTrace(QPainter& painter, const QRectF& r, const QPalette& palette, const TraceView::Series& values,
               double scale, const std::optional<TraceView::Series>& mirror, qsizetype from, double dx)
{
    painter.save();
    painter.setRenderHint(QPainter::Antialiasing);
    const double baseline = mirror ? r.top() + r.height() / 2 : r.bottom();
    drawSeries(painter, values.values, scale, PopoverTheme::color(palette, values.color), r.left(), r.width(), baseline,
               r.top(), from, dx);
    if (mirror)
        drawSeries(painter, mirror->values, scale, PopoverTheme::color(palette, mirror->color), r.left(), r.width(),
                   baseline, r.bottom(), from, dx);
    QColor line = PopoverTheme::color(palette, PopoverTheme::Tone::secondary);
    line.setAlphaF(line.alphaF() * 0.4f);
    // At the bottom edge the line lies just inside the area.
    const double y = mirror ? baseline - 0.25 : r.bottom() - 0.5;
    painter.fillRect(QRectF(r.left(), y, r.width(), 0.5), line);
    painter.restore();
}

} // namespace

TraceView::TraceView(QWidget* parent) : QWidget(parent)
{
    setFixedHeight(40);
    setSizePolicy(QSizePolicy::Expanding, QSizePolicy::Fixed);
    PopoverAccessibility::hide(this);
}

bool TraceView::shiftedByOne(const Series& values, const std::optional<Series>& mirror) const
{
    const auto shifted = [](const Series& now, const Series& before) {
        const qsizetype n = now.values.size();
        return now.color == before.color && n == before.values.size() && n >= 2
               && std::equal(before.values.cbegin() + 1, before.values.cend(), now.values.cbegin());
    };
    return mirror.has_value() == m_mirror.has_value() && shifted(values, m_values)
           && (!mirror || shifted(*mirror, *m_mirror));
}

double TraceView::scaleFor(double scale) const
{
    // The height in which values rise, in pixels.
    const double pixels = m_mirror ? height() / 2.0 : double(height());
    if (!(scale > 0) || pixels < 4)
        return scale;
    // Kept while the highest value lies within one pixel of the edge. A rising peak is set a pixel
    // below the edge, so that a steady rise draws the whole picture once per pixel; a falling one
    // half a pixel below, so that it may move both ways.
    if (m_scale >= scale && scale >= m_scale * (1 - 1 / pixels))
        return m_scale;
    return scale / (1 - (scale > m_scale ? 1.0 : 0.5) / pixels);
}

void TraceView::set(const Series& values, double scale, const std::optional<Series>& mirror)
{
    // Equal series are also a step (of a flat line): the same picture either way.
    if (values == m_values && mirror == m_mirror && scaleFor(scale) == m_scale)
        return;
    const bool step = shiftedByOne(values, mirror);
    const double before = m_scale;
    m_values = values;
    m_mirror = mirror;
    m_given = scale;
    m_scale = scaleFor(scale);
    if (m_scale != before || !step || !isVisible())
        m_image = QImage();  // drawn whole at the next paint
    else if (!m_image.isNull())
        drawStep();
    update();
}

void TraceView::drawWhole()
{
    const qreal ratio = devicePixelRatioF();
    m_image = QImage(size() * ratio, QImage::Format_ARGB32_Premultiplied);
    m_image.setDevicePixelRatio(ratio);
    m_image.fill(Qt::transparent);
    m_offset = 0;
    ++m_wholeDraws;
    QPainter painter(&m_image);
    drawTrace(painter, QRectF(rect()), palette(), m_values, m_scale, m_mirror, 0, 0);
}

void TraceView::drawStep()
{
    const qsizetype n = m_values.values.size();
    const double step = double(width()) / double(n - 1);
    if (step < minimumStep) {
        m_image = QImage();
        return;
    }
    // Shift by whole device pixels, keeping the picture within half a pixel of its exact place.
    const qreal ratio = m_image.devicePixelRatio();
    const int shift = int(std::lround(m_offset + step * ratio));
    m_offset += step * ratio - shift;
    const int w = m_image.width();
    const int bytes = int(sizeof(QRgb));
    // The strip from a little left of the point before the newest is drawn again.
    const double previous = (double(width()) - step) * ratio + m_offset;
    const int cut = std::clamp(int(std::floor(previous - 2 * ratio)), 0, w);
    for (int y = 0; y < m_image.height(); ++y) {
        uchar* row = m_image.scanLine(y);
        if (shift < w)
            std::memmove(row, row + qsizetype(shift) * bytes, qsizetype(w - shift) * bytes);
        std::memset(row + qsizetype(cut) * bytes, 0, qsizetype(w - cut) * bytes);
    }
    QPainter painter(&m_image);
    painter.setClipRect(QRectF(cut / ratio, 0, (w - cut) / ratio, height()));
    drawTrace(painter, QRectF(rect()), palette(), m_values, m_scale, m_mirror, n - stepPoints, m_offset / ratio);
}

void TraceView::changeEvent(QEvent* event)
{
    if (event->type() == QEvent::PaletteChange || event->type() == QEvent::StyleChange)
        m_image = QImage();
    QWidget::changeEvent(event);
}

void TraceView::resizeEvent(QResizeEvent* event)
{
    m_image = QImage();
    m_scale = 0;  // the band of the scale depends on the height
    m_scale = scaleFor(m_given);
    QWidget::resizeEvent(event);
}

void TraceView::draw(QPainter& painter, const QRectF& r, const QPalette& palette, const Series& values, double scale,
                     const std::optional<Series>& mirror)
{
    drawTrace(painter, r, palette, values, scale, mirror, 0, 0);
}

void TraceView::paintEvent(QPaintEvent*)
{
    if (m_image.isNull() || m_image.devicePixelRatio() != devicePixelRatioF())
        drawWhole();
    QPainter painter(this);
    painter.drawImage(QPointF(0, 0), m_image);
}

} // namespace mallowby
