#include "MenuBar/PointMetrics.h"

#include <QFontMetricsF>
#include <QImage>

namespace mallowby {

namespace {

// 16 × 72 dpi: a point is sixteen pixels before the division.
constexpr int oversampling = 16;

const QImage& device()
{
    static const QImage image = [] {
        QImage image(1, 1, QImage::Format_RGBA8888_Premultiplied);
        const int dotsPerMeter = qRound(72.0 * oversampling / 0.0254);
        image.setDotsPerMeterX(dotsPerMeter);
        image.setDotsPerMeterY(dotsPerMeter);
        return image;
    }();
    return image;
}

} // namespace

double PointMetrics::horizontalAdvance(const QString& text) const
{
    return QFontMetricsF(m_font, &device()).horizontalAdvance(text) / oversampling;
}

double PointMetrics::ascent() const
{
    return QFontMetricsF(m_font, &device()).ascent() / oversampling;
}

double PointMetrics::descent() const
{
    return QFontMetricsF(m_font, &device()).descent() / oversampling;
}

double PointMetrics::leading() const
{
    return QFontMetricsF(m_font, &device()).leading() / oversampling;
}

} // namespace mallowby
