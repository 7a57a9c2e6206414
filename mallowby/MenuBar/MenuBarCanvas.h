#pragma once

#include "MenuBar/MenuBarRenderer.h"

#include <QImage>
#include <QList>
#include <QPointF>
#include <QRectF>

#include <cstdint>
#include <memory>

namespace mallowby {

// Pixel memory the renderer draws into: premultiplied RGBA, 4 bytes per pixel, rows of exactly
// 4 × width bytes, row 0 at the top. The memory is shared with every image made from the canvas and
// freed when the last of them (or the canvas) lets go, so an image handed out stays valid after the
// canvas is gone.
class MenuBarRenderer::Canvas {
public:
    // The pooled canvas for this pixel size and scale: two are kept and handed out in turn, so the
    // image of the previous render is not drawn over by the next one. None when the size is not
    // drawable or the memory cannot be had.
    static Canvas* canvas(double width, double height, double scale);

    int pixelWidth() const { return m_pixelWidth; }
    int pixelHeight() const { return m_pixelHeight; }
    double scale() const { return m_scale; }
    std::uint8_t* buffer() const { return m_buffer; }

    // Drawing, in points with the origin at the top left; everything is clipped to the canvas and
    // composed source-over.
    void clear();
    // Anti-aliased: partly covered pixels get partial coverage.
    void fillRect(const QRectF& rect, const QColor& color);
    // A line of the given width through the points, with round joins. Nothing is drawn left of
    // `fromX` or right of `toX`, which squares off the ends.
    void strokePolyline(const QList<QPointF>& points, double width, const QColor& color, double fromX, double toX);
    // A premultiplied RGBA image, pixel for pixel, its top left at the pixel nearest to `topLeft`.
    void drawImage(const QPointF& topLeft, const QImage& image);
    // An image over the memory (no copy) that keeps the memory alive.
    QImage image() const;

    // Pixel buffers currently allocated, by canvases and the images that share them.
    static int buffersAlive();

    Canvas(const Canvas&) = delete;
    Canvas& operator=(const Canvas&) = delete;
    ~Canvas();

private:
    struct Provider;
    Canvas(std::shared_ptr<Provider> provider, int pixelWidth, int pixelHeight, double scale);
    static std::unique_ptr<Canvas> make(int pixelWidth, int pixelHeight, double scale);

    std::shared_ptr<Provider> m_provider;
    std::uint8_t* m_buffer;
    int m_pixelWidth;
    int m_pixelHeight;
    double m_scale;
};

} // namespace mallowby
