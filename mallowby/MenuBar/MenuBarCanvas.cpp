#include "MenuBar/MenuBarCanvas.h"

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <vector>

namespace mallowby {

namespace {

// Far beyond any tray item, and small enough that 4 × width × height stays well inside an int.
constexpr double maxPixelsPerSide = 8192;

int liveBuffers = 0;

// A colour premultiplied by its alpha, channels 0...255.
struct Paint {
    explicit Paint(const QColor& color)
    {
        const float alpha = color.alphaF();
        r = color.redF() * alpha * 255;
        g = color.greenF() * alpha * 255;
        b = color.blueF() * alpha * 255;
        a = alpha * 255;
    }
    float r, g, b, a;
};

// Source-over of a colour at partial coverage (0...1) onto one premultiplied pixel.
inline void blend(std::uint8_t* pixel, const Paint& paint, float coverage)
{
    const float keep = 1.0f - paint.a / 255.0f * coverage;
    const auto channel = [&](std::uint8_t dst, float src) {
        return std::uint8_t(std::min(255.0f, src * coverage + float(dst) * keep + 0.5f));
    };
    pixel[0] = channel(pixel[0], paint.r);
    pixel[1] = channel(pixel[1], paint.g);
    pixel[2] = channel(pixel[2], paint.b);
    pixel[3] = channel(pixel[3], paint.a);
}

// How much of the pixel span [i, i + 1) lies inside [from, to).
inline float overlap(int i, double from, double to)
{
    return float(std::clamp(std::min(i + 1.0, to) - std::max(double(i), from), 0.0, 1.0));
}

// Squared distances from pixel centres to one segment.
class Segment {
public:
    Segment(const QPointF& a, const QPointF& b)
        : m_ax(float(a.x())), m_ay(float(a.y())), m_dx(float(b.x() - a.x())), m_dy(float(b.y() - a.y()))
    {
        const float length2 = m_dx * m_dx + m_dy * m_dy;
        m_inverseLength2 = length2 > 0 ? 1.0f / length2 : 0.0f;
    }

    float distance2(float px, float py) const
    {
        const float t = std::clamp(((px - m_ax) * m_dx + (py - m_ay) * m_dy) * m_inverseLength2, 0.0f, 1.0f);
        const float ex = px - (m_ax + t * m_dx);
        const float ey = py - (m_ay + t * m_dy);
        return ex * ex + ey * ey;
    }

private:
    float m_ax, m_ay, m_dx, m_dy, m_inverseLength2;
};

struct Pool {
    std::vector<std::unique_ptr<MenuBarRenderer::Canvas>> canvases;
    std::size_t last = 0;  // the one handed out last
};

Pool& pool()
{
    static Pool shared;
    return shared;
}

} // namespace

// Owns the pixel memory; shared by the canvas and every image made from it.
struct MenuBarRenderer::Canvas::Provider {
    explicit Provider(std::uint8_t* memory) : memory(memory) { ++liveBuffers; }
    ~Provider()
    {
        std::free(memory);
        --liveBuffers;
    }
    Provider(const Provider&) = delete;
    Provider& operator=(const Provider&) = delete;

    std::uint8_t* memory;
};

MenuBarRenderer::Canvas::Canvas(std::shared_ptr<Provider> provider, int pixelWidth, int pixelHeight, double scale)
    : m_provider(std::move(provider)),
      m_buffer(m_provider->memory),
      m_pixelWidth(pixelWidth),
      m_pixelHeight(pixelHeight),
      m_scale(scale)
{
}

// Only this canvas's share of the memory goes; images made from it keep theirs.
MenuBarRenderer::Canvas::~Canvas() = default;

std::unique_ptr<MenuBarRenderer::Canvas> MenuBarRenderer::Canvas::make(int pixelWidth, int pixelHeight, double scale)
{
    auto* memory = static_cast<std::uint8_t*>(std::malloc(std::size_t(pixelWidth) * std::size_t(pixelHeight) * 4));
    if (!memory)
        return nullptr;
    return std::unique_ptr<Canvas>(new Canvas(std::make_shared<Provider>(memory), pixelWidth, pixelHeight, scale));
}

MenuBarRenderer::Canvas* MenuBarRenderer::Canvas::canvas(double width, double height, double scale)
{
    if (!(scale > 0) || !std::isfinite(scale) || !(width > 0) || !(height > 0))
        return nullptr;
    const double w = std::floor(width * scale);
    const double h = std::floor(height * scale);
    if (!(w >= 1 && w <= maxPixelsPerSide && h >= 1 && h <= maxPixelsPerSide))
        return nullptr;
    const int pixelWidth = int(w);
    const int pixelHeight = int(h);

    Pool& shared = pool();
    // The scale belongs to the match: two scales can floor to the same pixel size, and text is placed
    // with the canvas's scale.
    const bool reusable = !shared.canvases.empty() && shared.canvases.front()->m_pixelWidth == pixelWidth
                          && shared.canvases.front()->m_pixelHeight == pixelHeight
                          && shared.canvases.front()->m_scale == scale;
    if (!reusable) {
        shared.canvases.clear();
        auto first = make(pixelWidth, pixelHeight, scale);
        auto second = first ? make(pixelWidth, pixelHeight, scale) : nullptr;
        if (!first || !second)
            return nullptr;
        shared.canvases.push_back(std::move(first));
        shared.canvases.push_back(std::move(second));
        shared.last = shared.canvases.size() - 1;
    }
    shared.last = (shared.last + 1) % shared.canvases.size();
    return shared.canvases[shared.last].get();
}

void MenuBarRenderer::Canvas::clear()
{
    std::memset(m_buffer, 0, std::size_t(m_pixelWidth) * std::size_t(m_pixelHeight) * 4);
}

void MenuBarRenderer::Canvas::fillRect(const QRectF& rect, const QColor& color)
{
    const double left = rect.left() * m_scale, right = rect.right() * m_scale;
    const double top = rect.top() * m_scale, bottom = rect.bottom() * m_scale;
    if (!(left < right && top < bottom))
        return;
    const Paint paint(color);
    const int x0 = int(std::max(0.0, std::floor(left))), x1 = int(std::min(double(m_pixelWidth), std::ceil(right)));
    const int y0 = int(std::max(0.0, std::floor(top))), y1 = int(std::min(double(m_pixelHeight), std::ceil(bottom)));
    for (int y = y0; y < y1; ++y) {
        const float rowCoverage = overlap(y, top, bottom);
        std::uint8_t* row = m_buffer + std::size_t(y) * std::size_t(m_pixelWidth) * 4;
        for (int x = x0; x < x1; ++x)
            blend(row + 4 * x, paint, rowCoverage * overlap(x, left, right));
    }
}

void MenuBarRenderer::Canvas::strokePolyline(const QList<QPointF>& points, double width, const QColor& color,
                                             double fromX, double toX)
{
    if (points.size() < 2 || !(width > 0))
        return;
    // Coverage of a pixel: how far its centre lies inside the stroke, by its distance to the nearest
    // segment, smoothed over one pixel. Taking the largest over all segments rounds the joins.
    const float half = float(width * m_scale / 2);
    const double reach = half + 1.0;
    QList<QPointF> pixels;
    pixels.reserve(points.size());
    double minX = HUGE_VAL, maxX = -HUGE_VAL, minY = HUGE_VAL, maxY = -HUGE_VAL;
    for (const QPointF& p : points) {
        const QPointF q = p * m_scale;
        if (!std::isfinite(q.x()) || !std::isfinite(q.y()))
            return;
        pixels << q;
        minX = std::min(minX, q.x());
        maxX = std::max(maxX, q.x());
        minY = std::min(minY, q.y());
        maxY = std::max(maxY, q.y());
    }
    const double clipLeft = fromX * m_scale, clipRight = toX * m_scale;
    const int x0 = int(std::max({0.0, std::floor(minX - reach), std::floor(clipLeft)}));
    const int x1 = int(std::min({double(m_pixelWidth), std::ceil(maxX + reach), std::ceil(clipRight)}));
    const int y0 = int(std::max(0.0, std::floor(minY - reach)));
    const int y1 = int(std::min(double(m_pixelHeight), std::ceil(maxY + reach)));
    if (x0 >= x1 || y0 >= y1)
        return;
    const int boxWidth = x1 - x0;
    std::vector<float> coverage(std::size_t(boxWidth) * std::size_t(y1 - y0), 0.0f);

    const float outer = half + 0.5f;
    for (qsizetype i = 1; i < pixels.size(); ++i) {
        const QPointF& a = pixels[i - 1];
        const QPointF& b = pixels[i];
        const Segment segment(a, b);
        const int sx0 = std::max(x0, int(std::floor(std::min(a.x(), b.x()) - reach)));
        const int sx1 = std::min(x1, int(std::ceil(std::max(a.x(), b.x()) + reach)));
        const int sy0 = std::max(y0, int(std::floor(std::min(a.y(), b.y()) - reach)));
        const int sy1 = std::min(y1, int(std::ceil(std::max(a.y(), b.y()) + reach)));
        for (int y = sy0; y < sy1; ++y) {
            float* row = coverage.data() + std::size_t(y - y0) * std::size_t(boxWidth);
            for (int x = sx0; x < sx1; ++x) {
                const float d2 = segment.distance2(float(x) + 0.5f, float(y) + 0.5f);
                if (d2 >= outer * outer)
                    continue;
                const float c = std::min(outer - std::sqrt(d2), 1.0f);
                row[x - x0] = std::max(row[x - x0], c);
            }
        }
    }

    const Paint paint(color);
    for (int y = y0; y < y1; ++y) {
        const float* row = coverage.data() + std::size_t(y - y0) * std::size_t(boxWidth);
        std::uint8_t* line = m_buffer + std::size_t(y) * std::size_t(m_pixelWidth) * 4;
        for (int x = x0; x < x1; ++x) {
            const float c = row[x - x0] * overlap(x, clipLeft, clipRight);
            if (c > 0)
                blend(line + 4 * x, paint, c);
        }
    }
}

void MenuBarRenderer::Canvas::drawImage(const QPointF& topLeft, const QImage& source)
{
    const QImage image = source.format() == QImage::Format_RGBA8888_Premultiplied
                             ? source
                             : source.convertToFormat(QImage::Format_RGBA8888_Premultiplied);
    const double px = std::round(topLeft.x() * m_scale), py = std::round(topLeft.y() * m_scale);
    if (!std::isfinite(px) || !std::isfinite(py) || std::abs(px) > maxPixelsPerSide || std::abs(py) > maxPixelsPerSide)
        return;
    const int ox = int(px), oy = int(py);
    const int c0 = std::max(0, -ox), c1 = std::min(image.width(), m_pixelWidth - ox);
    const int r0 = std::max(0, -oy), r1 = std::min(image.height(), m_pixelHeight - oy);
    for (int r = r0; r < r1; ++r) {
        const uchar* src = image.constScanLine(r) + 4 * c0;
        std::uint8_t* dst = m_buffer + (std::size_t(oy + r) * std::size_t(m_pixelWidth) + std::size_t(ox + c0)) * 4;
        for (int c = c0; c < c1; ++c, src += 4, dst += 4) {
            const unsigned keep = 255 - src[3];
            for (int k = 0; k < 4; ++k)
                dst[k] = std::uint8_t(src[k] + (dst[k] * keep + 127) / 255);
        }
    }
}

QImage MenuBarRenderer::Canvas::image() const
{
    auto* share = new std::shared_ptr<Provider>(m_provider);
    QImage image(
        m_buffer, m_pixelWidth, m_pixelHeight, 4 * m_pixelWidth, QImage::Format_RGBA8888_Premultiplied,
        [](void* info) { delete static_cast<std::shared_ptr<Provider>*>(info); }, share);
    if (image.isNull()) {
        delete share;
        return image;
    }
    image.setDevicePixelRatio(m_scale);
    return image;
}

int MenuBarRenderer::Canvas::buffersAlive()
{
    return liveBuffers;
}

} // namespace mallowby
