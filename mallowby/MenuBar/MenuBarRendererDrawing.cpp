#include "MenuBar/MenuBarRenderer.h"

#include "MenuBar/MenuBarCanvas.h"
#include "MenuBar/PointMetrics.h"
#include "Symbols/SymbolImage.h"

#include <QPainter>

#include <algorithm>
#include <cmath>
#include <cstring>

namespace mallowby {

namespace {

struct DrawingState {
    std::optional<MenuBarRenderer::Ink> ink;
    QHash<MenuBarRenderer::GlyphKey, MenuBarRenderer::GlyphCell> cells;
    QHash<QString, QImage> glyphImages;
    MenuBarRenderer::Canvas* current = nullptr;  // set only while a render runs
};

DrawingState& state()
{
    static DrawingState shared;
    return shared;
}

// Makes a canvas the target of drawText for one render.
class CurrentCanvas {
public:
    explicit CurrentCanvas(MenuBarRenderer::Canvas* canvas) { state().current = canvas; }
    ~CurrentCanvas() { state().current = nullptr; }
    CurrentCanvas(const CurrentCanvas&) = delete;
    CurrentCanvas& operator=(const CurrentCanvas&) = delete;
};

constexpr double symbolPointSize = 13;

const std::optional<SymbolImage>& driveSymbol()
{
    static const std::optional<SymbolImage> symbol = SymbolImage::named(QStringLiteral("externaldrive"), symbolPointSize);
    return symbol;
}

const std::optional<SymbolImage>& badgedDriveSymbol()
{
    static const std::optional<SymbolImage> symbol =
        SymbolImage::named(QStringLiteral("externaldrive.badge.exclamationmark"), symbolPointSize);
    return symbol;
}

QColor withAlpha(QColor color, double alpha)
{
    color.setAlphaF(float(alpha));
    return color;
}

// One series of the trace: point i of n at chart.left + width / (n − 1) × i, its value (clamped to
// 0…1) measured up from just above the chart's bottom.
void drawSeries(MenuBarRenderer::Canvas& canvas, const QList<double>& values, const QRectF& chart, const QColor& color)
{
    if (values.size() < 2)
        return;
    const double step = chart.width() / double(values.size() - 1);
    const double bottom = chart.bottom() - 0.75;
    const double span = chart.height() - 1.5;
    QList<QPointF> line;
    line.reserve(values.size());
    for (qsizetype i = 0; i < values.size(); ++i) {
        const double v = std::isnan(values[i]) ? 0.0 : std::clamp(values[i], 0.0, 1.0);
        line << QPointF(chart.left() + step * double(i), bottom - v * span);
    }
    canvas.strokePolyline(line, 1.25, color, chart.left(), chart.right());
}

} // namespace

size_t qHash(const MenuBarRenderer::GlyphKey& key, size_t seed) noexcept
{
    // -0 and +0 compare equal, so they hash alike.
    const double size = key.fontSize == 0 ? 0.0 : key.fontSize;
    const double alpha = key.alpha == 0 ? 0.0 : key.alpha;
    return qHashMulti(seed, size, alpha, key.character);
}

const MenuBarRenderer::Ink& MenuBarRenderer::ink(const QString& appearance, double scale)
{
    DrawingState& shared = state();
    const QString key = appearance + QLatin1Char('@') + QString::number(scale);
    if (shared.ink && shared.ink->key == key)
        return *shared.ink;
    const QColor label = appearance == QLatin1String("dark") ? QColor(Qt::white) : QColor(Qt::black);
    shared.ink = Ink{key, label, withAlpha(label, 0.7), withAlpha(label, 0.25), withAlpha(label, 0.45)};
    // Cells and symbols carry the old colours and scale.
    shared.cells.clear();
    shared.glyphImages.clear();
    return *shared.ink;
}

std::optional<QImage> MenuBarRenderer::glyphImage(bool badge, double scale, const Ink& ink)
{
    DrawingState& shared = state();
    const QString key = ink.key + (badge ? QStringLiteral("|true") : QStringLiteral("|false"));
    const auto found = shared.glyphImages.constFind(key);
    if (found != shared.glyphImages.cend())
        return *found;

    const std::optional<SymbolImage>& symbol = badge && badgedDriveSymbol() ? badgedDriveSymbol() : driveSymbol();
    if (!symbol || !(scale > 0) || !std::isfinite(scale))
        return std::nullopt;
    const QSizeF size = symbol->size();
    QImage image(int(std::ceil(size.width() * scale)), int(std::ceil(size.height() * scale)),
                 QImage::Format_RGBA8888_Premultiplied);
    if (image.isNull())
        return std::nullopt;
    image.fill(Qt::transparent);
    {
        QPainter painter(&image);
        painter.scale(scale, scale);
        symbol->draw(painter, QPointF(0, 0));
        // Keep the shape and its coverage, take the label colour.
        painter.resetTransform();
        painter.setCompositionMode(QPainter::CompositionMode_SourceIn);
        painter.fillRect(image.rect(), ink.text);
    }
    shared.glyphImages.insert(key, image);
    return image;
}

std::optional<MenuBarRenderer::GlyphCell> MenuBarRenderer::rasterize(const QString& character, const QFont& font,
                                                                     const QColor& color, double advance, double scale)
{
    const PointMetrics metrics(font);
    const double cellWidth = std::ceil(advance * scale) + 4;
    const double cellHeight = std::ceil(scale * (metrics.ascent() + metrics.descent() + metrics.leading()));
    if (!(cellWidth >= 1 && cellWidth <= 1024 && cellHeight >= 1 && cellHeight <= 1024))
        return std::nullopt;
    QImage image(int(cellWidth), int(cellHeight), QImage::Format_RGBA8888_Premultiplied);
    if (image.isNull())
        return std::nullopt;
    image.fill(Qt::transparent);
    {
        // Font engines draw whole pixel sizes only; rounding down keeps every glyph within the
        // advance the layout measured (9.5 pt at scale 1 is drawn at 9 px, not 10).
        QFont scaled = font;
        scaled.setPixelSize(std::max(1, int(std::floor(font.pointSizeF() * scale + 1e-6))));
        // Stems on whole pixels: the cells are tiny and are placed on whole pixels anyway.
        scaled.setHintingPreference(QFont::PreferFullHinting);
        QPainter painter(&image);
        painter.setFont(scaled);
        painter.setPen(color);
        // Baseline one ascender below the top, on a whole pixel row; 2 pixels of padding on the left.
        painter.drawText(QPointF(2, std::round(metrics.ascent() * scale)), character);
    }

    GlyphCell cell;
    cell.width = image.width();
    cell.height = image.height();
    const int rowBytes = 4 * cell.width;
    cell.pixels.resize(std::size_t(rowBytes) * std::size_t(cell.height));
    int left = cell.width, right = -1, top = cell.height, bottom = -1;
    for (int row = 0; row < cell.height; ++row) {
        const uchar* line = image.constScanLine(row);
        std::memcpy(cell.pixels.data() + std::size_t(row) * rowBytes, line, rowBytes);
        for (int column = 0; column < cell.width; ++column) {
            if (line[4 * column + 3] == 0)
                continue;
            left = std::min(left, column);
            right = std::max(right, column);
            top = std::min(top, row);
            bottom = std::max(bottom, row);
        }
    }
    if (right >= 0)
        cell.ink = {{left, right + 1}, {top, bottom + 1}};
    return cell;
}

void MenuBarRenderer::drawText(const QString& text, double slotWidth, double x, double y, const QFont& font,
                               const QColor& color)
{
    DrawingState& shared = state();
    Canvas* canvas = shared.current;
    if (!canvas)
        return;
    const double s = canvas->scale();
    // Positions far off the canvas would overflow the pixel arithmetic; nothing of them shows anyway.
    const auto bounded = [](double v) { return std::isfinite(v) && std::abs(v) < 1e6; };
    if (!bounded(x * s) || !bounded(y * s) || !bounded(slotWidth * s))
        return;
    const double a = advance(font);
    const QStringList chars = characters(text);
    const double n = double(chars.size());
    const long oy = std::lround(y * s);
    const long canvasWidth = canvas->pixelWidth();
    const long canvasHeight = canvas->pixelHeight();
    const std::size_t canvasRowBytes = std::size_t(canvasWidth) * 4;

    for (qsizetype i = 0; i < chars.size(); ++i) {
        if (chars[i] == QLatin1String(" "))
            continue;
        const GlyphKey key{font.pointSizeF(), color.alphaF(), chars[i]};
        auto found = shared.cells.constFind(key);
        if (found == shared.cells.cend()) {
            std::optional<GlyphCell> cell = rasterize(chars[i], font, color, a, s);
            if (!cell)
                continue;
            found = shared.cells.insert(key, std::move(*cell));
        }
        const GlyphCell& cell = *found;
        // Centred in the slot with a fixed advance; the 2 undoes the cell's left padding.
        const long ox = std::lround(s * (x + (slotWidth - a * n) / 2 + a * double(i))) - 2;
        const long c0 = std::max<long>(cell.ink.columns.lower, -ox);
        const long c1 = std::min<long>(cell.ink.columns.upper, canvasWidth - ox);
        const long r0 = std::max<long>(cell.ink.rows.lower, -oy);
        const long r1 = std::min<long>(cell.ink.rows.upper, canvasHeight - oy);
        if (c0 >= c1 || r0 >= r1)
            continue;
        const std::size_t cellRowBytes = std::size_t(cell.width) * 4;
        const std::size_t bytes = std::size_t(c1 - c0) * 4;
        for (long r = r0; r < r1; ++r) {
            const std::uint8_t* src = cell.pixels.data() + std::size_t(r) * cellRowBytes + std::size_t(c0) * 4;
            std::uint8_t* dst = canvas->buffer() + std::size_t(oy + r) * canvasRowBytes + std::size_t(ox + c0) * 4;
            for (std::size_t b = 0; b < bytes; ++b)
                dst[b] = std::max(dst[b], src[b]);
        }
    }
}

std::optional<QImage> MenuBarRenderer::render(const Layout& layout, const QString& appearance, double scale)
{
    if (std::isnan(layout.width))
        return std::nullopt;
    const double W = std::max(std::ceil(layout.width), 1.0);
    const double H = barHeight;
    Canvas* canvas = Canvas::canvas(W, H, scale);
    if (!canvas)
        return std::nullopt;
    const Ink& ink = MenuBarRenderer::ink(appearance, scale);
    canvas->clear();
    const CurrentCanvas current(canvas);

    const double midY = H / 2;
    double x = std::round((W - width(layout.pieces)) / 2);

    for (qsizetype i = 0; i < layout.pieces.size(); ++i) {
        const Piece& piece = layout.pieces[i];
        if (i > 0)
            x += gap(layout.pieces[i - 1]);
        if (const auto* glyph = std::get_if<Piece::Glyph>(&piece.value)) {
            if (const std::optional<QImage> image = glyphImage(glyph->badge, scale, ink)) {
                const double w = image->width() / scale;
                const double h = image->height() / scale;
                const double left = std::round(x + (glyphWidth() - w) / 2);
                const double top = std::round(midY - h / 2);
                canvas->drawImage(QPointF(left, top), *image);
            }
        } else if (const auto* stacked = std::get_if<Piece::Stacked>(&piece.value)) {
            drawText(stacked->caption, stackedWidth(), x, midY - 11, captionFont(), ink.caption);
            drawText(stacked->value, stackedWidth(), x, midY - 2.5, valueFont(), ink.text);
        } else if (const auto* rates = std::get_if<Piece::Rates>(&piece.value)) {
            drawText(rates->read, ratesWidth(), x, midY - 11, ratesFont(), ink.text);
            drawText(rates->write, ratesWidth(), x, midY - 0.5, ratesFont(), ink.text);
        } else if (const auto* trace = std::get_if<Piece::Trace>(&piece.value)) {
            const QRectF chart(x, midY - traceHeight / 2, traceWidth, traceHeight);
            canvas->fillRect(QRectF(chart.left(), chart.bottom() - 0.5, traceWidth, 0.5), ink.baseline);
            drawSeries(*canvas, trace->secondary, chart, ink.secondary);
            drawSeries(*canvas, trace->primary, chart, ink.text);
        }
        x += width(piece);
    }
    return canvas->image();
}

const QHash<MenuBarRenderer::GlyphKey, MenuBarRenderer::GlyphCell>& MenuBarRenderer::glyphCells()
{
    return state().cells;
}

qsizetype MenuBarRenderer::glyphImageCount()
{
    return state().glyphImages.size();
}

} // namespace mallowby
