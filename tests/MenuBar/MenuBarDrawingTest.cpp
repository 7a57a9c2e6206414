#include "MenuBar/MenuBarCanvas.h"
#include "MenuBar/MenuBarRenderer.h"
#include "MenuBar/SquareIcon.h"

#include "support/Printers.h"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>

using namespace mallowby;

namespace {

using Piece = MenuBarRenderer::Piece;
using Layout = MenuBarRenderer::Layout;

// Bounding box of the pixels with non-zero alpha inside `area` (the whole image when null).
QRect inkBox(const QImage& image, const QRect& area = {})
{
    const QRect region = area.isNull() ? image.rect() : area & image.rect();
    QRect box;
    for (int y = region.top(); y <= region.bottom(); ++y)
        for (int x = region.left(); x <= region.right(); ++x)
            if (qAlpha(image.pixel(x, y)) != 0)
                box |= QRect(x, y, 1, 1);
    return box;
}

const uchar* pixelAt(const QImage& image, int x, int y) { return image.constScanLine(y) + 4 * x; }

// The strongest alpha inside an area.
int strongest(const QImage& image, const QRect& area)
{
    int alpha = 0;
    for (int y = area.top(); y <= area.bottom(); ++y)
        for (int x = area.left(); x <= area.right(); ++x)
            alpha = std::max(alpha, int(pixelAt(image, x, y)[3]));
    return alpha;
}

QImage rendered(const Layout& layout, const QString& appearance = "light", double scale = 2)
{
    const std::optional<QImage> image = MenuBarRenderer::render(layout, appearance, scale);
    EXPECT_TRUE(image.has_value());
    return image.value_or(QImage());
}

} // namespace

TEST(MenuBarDrawing, BarSizeUndrawableRequestsAndStrayWrites)
{
    for (double scale : {1.0, 2.0}) {
        const QImage image = rendered(Layout{{}, 0}, "light", scale);
        EXPECT_EQ(image.format(), QImage::Format_RGBA8888_Premultiplied);
        EXPECT_EQ(image.size(), QSize(int(scale), int(22 * scale)));
        EXPECT_EQ(image.devicePixelRatio(), scale);
        EXPECT_TRUE(inkBox(image).isNull());
    }
    const double nan = std::numeric_limits<double>::quiet_NaN();
    const Layout icon{{Piece::glyph(false)}, 22};
    for (const auto& [layout, scale] : {std::pair{icon, 0.0}, {icon, -2.0}, {icon, nan}, {Layout{{}, 1e12}, 2.0}, {Layout{{}, nan}, 2.0}})
        EXPECT_FALSE(MenuBarRenderer::render(layout, "light", scale)) << layout.width << " at " << scale;
    EXPECT_TRUE(MenuBarRenderer::render(icon, "light", 2)) << "still works afterwards";

    // Text drawn outside a render must not reach the last image, which shares its buffer.
    const QImage last = rendered(Layout{{}, 40}, "light", 1);
    MenuBarRenderer::drawText("8888", 40, 0, 0, MenuBarRenderer::ratesFont(), Qt::black);
    EXPECT_TRUE(inkBox(last).isNull());
}

// Renders alternate between two pooled buffers, shared with the images; a kept image holds its
// buffer after another size replaces the pool.
TEST(MenuBarDrawing, BuffersAlternateAndOutliveTheirCanvas)
{
    {
        const Layout icon{{Piece::glyph(false)}, 30};
        const QImage first = rendered(icon), second = rendered(icon), third = rendered(Layout{{}, 30});
        EXPECT_NE(first.constBits(), second.constBits());
        EXPECT_EQ(third.constBits(), first.constBits());
        EXPECT_TRUE(inkBox(first).isNull());  // shared, not copied: it shows what the third drew
        EXPECT_FALSE(inkBox(second).isNull());
    }
    std::optional<QImage> kept = rendered(Layout{{Piece::glyph(true)}, 40});
    const QRect drawn = inkBox(*kept);
    ASSERT_FALSE(drawn.isNull());
    const int pooled = MenuBarRenderer::Canvas::buffersAlive();
    rendered(Layout{{}, 41});
    EXPECT_EQ(MenuBarRenderer::Canvas::buffersAlive(), pooled + 1);
    EXPECT_EQ(inkBox(*kept), drawn);
    kept.reset();
    EXPECT_EQ(MenuBarRenderer::Canvas::buffersAlive(), pooled);
}

TEST(MenuBarDrawing, AppearanceChangeEmptiesGlyphCachesAndTurnsTheInkLight)
{
    const Layout layout{{Piece::glyph(false), Piece::rates("R   1M", "W   2M")}, 80};
    const QImage light = rendered(layout).copy();
    EXPECT_FALSE(MenuBarRenderer::glyphCells().isEmpty());
    EXPECT_GT(MenuBarRenderer::glyphImageCount(), 0);
    EXPECT_EQ(MenuBarRenderer::ink("light", 2).key, "light@2");
    EXPECT_EQ(MenuBarRenderer::ink("dark", 2).key, "dark@2");
    EXPECT_TRUE(MenuBarRenderer::glyphCells().isEmpty());
    EXPECT_EQ(MenuBarRenderer::glyphImageCount(), 0);

    const QImage dark = rendered(layout, "dark");
    const QRect box = inkBox(dark);
    ASSERT_EQ(box, inkBox(light));  // same shapes
    int lightInk = 0, darkInk = 0;
    for (int y = box.top(); y <= box.bottom(); ++y)
        for (int x = box.left(); x <= box.right(); ++x) {
            const uchar *d = pixelAt(dark, x, y), *l = pixelAt(light, x, y);
            darkInk += d[3] > 0, lightInk += l[3] > 0;
            EXPECT_TRUE(d[3] == 0 || d[0] == d[3]) << x << "," << y << " not premultiplied white";
            EXPECT_TRUE(l[3] == 0 || l[0] == 0) << x << "," << y << " not black";
        }
    EXPECT_GT(darkInk, 100);
    EXPECT_EQ(lightInk, darkInk);

    // Another scale is another ink too.
    rendered(layout, "dark", 1);
    EXPECT_EQ(MenuBarRenderer::ink("dark", 1).key, "dark@1");
    EXPECT_EQ(MenuBarRenderer::ink("dark", 1.5).key, "dark@1.5");
    EXPECT_TRUE(MenuBarRenderer::glyphCells().isEmpty());
}

// Pieces are centred in the reserved width; text wider than its slot overflows both sides and is
// cut at the image edges only.
TEST(MenuBarDrawing, PiecesAreCentredAndOverflowIsCutAtTheImageEdges)
{
    // The plain drive, 20 × 14 points, in a 22-point slot of a 44-point image; the badge adds
    // above it without moving it.
    const QImage plain = rendered(Layout{{Piece::glyph(false)}, 44});
    const QRect box = inkBox(plain), badged = inkBox(rendered(Layout{{Piece::glyph(true)}, 44}));
    ASSERT_FALSE(box.isNull());
    EXPECT_EQ(box.left(), plain.width() - 1 - box.right());
    EXPECT_EQ(box.top(), plain.height() - 1 - box.bottom());
    EXPECT_EQ(badged.left(), box.left());
    EXPECT_EQ(badged.bottom(), box.bottom());
    EXPECT_LT(badged.top(), box.top());
    // Narrower pieces start at the rounded centre offset: the plain slot at 11 points, here at 10.
    const double slot = MenuBarRenderer::ratesWidth();
    const QImage offset = rendered(Layout{{Piece::glyph(false), Piece::rates("8", "8")}, 22 + 6 + slot + 20}, "light", 1);
    EXPECT_EQ(inkBox(offset).left(), box.left() / 2 - 11 + 10);

    // The same wide piece with 20 points of room on either side shows how far the text overflows.
    const Piece wide = Piece::rates("8888888888888", "8");
    const QImage roomy = rendered(Layout{{wide}, slot + 40}).copy(), tight = rendered(Layout{{wide}, slot});
    const QRect overflow = inkBox(roomy), cut = inkBox(tight);
    EXPECT_LT(overflow.left(), 40 - 10);
    EXPECT_LE(std::abs(overflow.left() - (roomy.width() - 1 - overflow.right())), 2);
    EXPECT_EQ(tight, roomy.copy(40, 0, tight.width(), tight.height()));
    EXPECT_LE(cut.left(), 2);
    EXPECT_GE(cut.right(), tight.width() - 3);
}

TEST(MenuBarDrawing, TraceDrawsBaselineAndSeriesInsideItsChart)
{
    // Scale 2: the chart spans rows 6..37 (points 3..19), the baseline is row 37 at alpha 0.25.
    const QImage single = rendered(Layout{{Piece::trace({0.5}, {0.5})}, 28});
    EXPECT_EQ(inkBox(single), QRect(0, 37, 56, 1));
    EXPECT_EQ(pixelAt(single, 10, 37)[3], 64);
    // At scale 1 the half-point baseline covers half of row 18.
    const QImage half = rendered(Layout{{Piece::trace({}, {})}, 28}, "light", 1);
    EXPECT_EQ(inkBox(half), QRect(0, 18, 28, 1));
    EXPECT_EQ(pixelAt(half, 10, 18)[3], 32);
    EXPECT_GE(inkBox(rendered(Layout{{Piece::trace({0, 0}, {})}, 28})).top(), 34);
    const QRect top = inkBox(rendered(Layout{{Piece::trace({2, 5}, {-1, 0})}, 28}), QRect(0, 0, 56, 30));
    ASSERT_FALSE(top.isNull());
    EXPECT_GE(top.top(), 6);
    EXPECT_LE(top.bottom(), 10);
    // Write over read: the write line in the text colour, the read line at alpha 0.45.
    const QImage both = rendered(Layout{{Piece::trace({1, 1}, {0, 0})}, 28});
    EXPECT_EQ(strongest(both, QRect(4, 6, 48, 6)), 255);
    EXPECT_GT(strongest(both, QRect(4, 35, 48, 1)), 60);
    EXPECT_LT(strongest(both, QRect(4, 35, 48, 1)), 130);
}

TEST(MenuBarDrawing, GlyphCellsBoundTheirInkAndKeepCaptionAndTextColoursApart)
{
    const QFont& value = MenuBarRenderer::valueFont();
    const auto cell = MenuBarRenderer::rasterize(".", value, Qt::black, MenuBarRenderer::advance(value), 2);
    ASSERT_TRUE(cell);
    EXPECT_EQ(cell->width, int(std::ceil(MenuBarRenderer::advance(value) * 2)) + 4);
    EXPECT_EQ(cell->pixels.size(), std::size_t(cell->width * cell->height * 4));
    // A full stop sits on the baseline: low in the cell, narrow; nothing outside its ink box.
    EXPECT_GT(cell->ink.rows.lower, cell->height / 2);
    EXPECT_LT(cell->ink.columns.upper - cell->ink.columns.lower, cell->width / 2);
    int outside = 0;
    for (int y = 0; y < cell->height; ++y)
        for (int x = 0; x < cell->width; ++x)
            outside += cell->pixels[std::size_t(y * cell->width + x) * 4 + 3] != 0
                       && (x < cell->ink.columns.lower || x >= cell->ink.columns.upper || y < cell->ink.rows.lower || y >= cell->ink.rows.upper);
    EXPECT_EQ(outside, 0);
    const auto blank = MenuBarRenderer::rasterize("\u200B", value, Qt::black, MenuBarRenderer::advance(value), 2);
    ASSERT_TRUE(blank);
    EXPECT_TRUE(blank->ink.columns.isEmpty() && blank->ink.rows.isEmpty());

    const MenuBarRenderer::Ink& ink = MenuBarRenderer::ink("light", 2);
    const QFont& font = MenuBarRenderer::captionFont();
    const auto caption = MenuBarRenderer::rasterize("8", font, ink.caption, MenuBarRenderer::advance(font), 2);
    const auto text = MenuBarRenderer::rasterize("8", font, ink.text, MenuBarRenderer::advance(font), 2);
    ASSERT_TRUE(caption && text);
    EXPECT_EQ(caption->ink, text->ink);
    EXPECT_EQ(*std::max_element(text->pixels.begin(), text->pixels.end()), 255);
    EXPECT_LT(*std::max_element(caption->pixels.begin(), caption->pixels.end()), 200);
    EXPECT_EQ(qHash(MenuBarRenderer::GlyphKey{0.0, -0.0, "x"}, 7), qHash(MenuBarRenderer::GlyphKey{-0.0, 0.0, "x"}, 7));
    // In a render: the caption and the value of one digit, at their sizes and alphas.
    rendered(Layout{{Piece::stacked("8", "8")}, 40});
    EXPECT_TRUE(MenuBarRenderer::glyphCells().contains({8, ink.caption.alphaF(), "8"}));
    EXPECT_TRUE(MenuBarRenderer::glyphCells().contains({11, ink.text.alphaF(), "8"}));
    EXPECT_FALSE(MenuBarRenderer::glyphCells().contains({8, ink.text.alphaF(), "8"}));
}

// The square face at the small sizes panels use, on a light and a dark panel: ink of the panel's
// kind, the fill bar as long as the share used (orange when low), activity marks in their corners.
TEST(SquareIcon, FillBarAndActivityMarksReadAtEverySmallSize)
{
    const QColor accent(0x30, 0xd1, 0x58), write(0xd1, 0x30, 0xc8), orange(0xff, 0x95, 0x00);
    // The columns of the opaque pixels of about this colour inside an area.
    const auto columns = [](const QImage& image, const QRect& area, const QColor& colour) {
        QList<int> found;
        for (int y = area.top(); y <= area.bottom(); ++y)
            for (int x = area.left(); x <= area.right(); ++x) {
                const QColor c = QColor::fromRgba(image.pixel(x, y));
                if (c.alpha() > 200 && std::abs(c.red() - colour.red()) < 40 && std::abs(c.green() - colour.green()) < 40
                    && std::abs(c.blue() - colour.blue()) < 40)
                    found << x;
            }
        return found;
    };
    const QList<std::pair<const char*, SquareIcon::State>> rows{{"half used, reading", {.used = 0.5, .reading = true}},
                                                                 {"low, writing", {.used = 0.95, .low = true, .writing = true}},
                                                                 {"no reading, quiet", {}}};
    for (const int size : {16, 22, 24})
        for (const bool dark : {false, true})
            for (const auto& [name, state] : rows) {
                SCOPED_TRACE(std::string(name) + " at " + std::to_string(size) + (dark ? " dark" : " light"));
                const QColor ink = SquareIcon::ink(dark);
                const QImage icon = SquareIcon::render(state, size, {.ink = ink, .accent = accent, .write = write});
                ASSERT_EQ(icon.size(), QSize(size, size));
                EXPECT_EQ(qGray(ink.rgb()) > 128, dark);
                // The body's outline reaches both sides; the bar is about the used share of the width
                // inside the outline.
                EXPECT_GT(columns(icon, QRect(0, 0, 2, size), ink).size(), size / 4);
                EXPECT_GT(columns(icon, QRect(size - 2, 0, 2, size), ink).size(), size / 4);
                const QList<int> bar = columns(icon, QRect(0, size / 2, size, size / 2), state.low ? orange : accent);
                const auto [left, right] = std::minmax_element(bar.begin(), bar.end());
                EXPECT_NEAR(bar.isEmpty() ? 0 : *right - *left + 1, 0.8 * size * state.used.value_or(0), state.used ? size / 5.0 : 0);
                EXPECT_EQ(columns(icon, QRect(0, 0, size / 2, size / 4), accent).size() > 2, state.reading);
                EXPECT_EQ(columns(icon, QRect(size / 2, 0, size / 2, size / 4), write).size() > 2, state.writing);
            }
}
