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

// Bounding box of the pixels with non-zero alpha; empty when there are none.
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

QImage rendered(const Layout& layout, const QString& appearance, double scale)
{
    const std::optional<QImage> image = MenuBarRenderer::render(layout, appearance, scale);
    EXPECT_TRUE(image.has_value());
    return image.value_or(QImage());
}

} // namespace

TEST(MenuBarDrawing, BarSizeAndUndrawableRequests)
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
}

// Renders alternate between two pooled buffers, shared with the images; a kept image holds its
// buffer after another size replaces the pool.
TEST(MenuBarDrawing, BuffersAlternateAndOutliveTheirCanvas)
{
    {
        const Layout icon{{Piece::glyph(false)}, 30};
        const QImage first = rendered(icon, "light", 2);
        const QImage second = rendered(icon, "light", 2);
        const QImage third = rendered(Layout{{}, 30}, "light", 2);
        EXPECT_NE(first.constBits(), second.constBits());
        EXPECT_EQ(third.constBits(), first.constBits());
        EXPECT_TRUE(inkBox(first).isNull());  // shared, not copied: it shows what the third drew
        EXPECT_FALSE(inkBox(second).isNull());
    }
    std::optional<QImage> kept = rendered(Layout{{Piece::glyph(true)}, 40}, "light", 2);
    const QRect drawn = inkBox(*kept);
    ASSERT_FALSE(drawn.isNull());
    const int pooled = MenuBarRenderer::Canvas::buffersAlive();
    rendered(Layout{{}, 41}, "light", 2);
    EXPECT_EQ(MenuBarRenderer::Canvas::buffersAlive(), pooled + 1);
    EXPECT_EQ(inkBox(*kept), drawn);
    kept.reset();
    EXPECT_EQ(MenuBarRenderer::Canvas::buffersAlive(), pooled);
}

TEST(MenuBarDrawing, AppearanceChangeEmptiesGlyphCachesAndTurnsTheInkLight)
{
    const Layout layout{{Piece::glyph(false), Piece::rates("R   1M", "W   2M")}, 80};
    const QImage light = rendered(layout, "light", 2).copy();
    EXPECT_FALSE(MenuBarRenderer::glyphCells().isEmpty());
    EXPECT_GT(MenuBarRenderer::glyphImageCount(), 0);
    EXPECT_EQ(MenuBarRenderer::ink("light", 2).key, "light@2");

    const MenuBarRenderer::Ink& dark = MenuBarRenderer::ink("dark", 2);
    EXPECT_EQ(dark.key, "dark@2");
    EXPECT_TRUE(MenuBarRenderer::glyphCells().isEmpty());
    EXPECT_EQ(MenuBarRenderer::glyphImageCount(), 0);

    const QImage darkImage = rendered(layout, "dark", 2);
    const QRect box = inkBox(darkImage);
    ASSERT_EQ(box, inkBox(light));  // same shapes
    int lightInk = 0, darkInk = 0;
    for (int y = box.top(); y <= box.bottom(); ++y)
        for (int x = box.left(); x <= box.right(); ++x) {
            const uchar* d = pixelAt(darkImage, x, y);
            const uchar* l = pixelAt(light, x, y);
            if (d[3] > 0) {
                ++darkInk;
                EXPECT_EQ(d[0], d[3]) << x << "," << y;  // premultiplied white
            }
            if (l[3] > 0) {
                ++lightInk;
                EXPECT_EQ(l[0], 0) << x << "," << y;  // black
            }
        }
    EXPECT_GT(darkInk, 100);
    EXPECT_EQ(lightInk, darkInk);

    // Another scale is another ink too.
    rendered(layout, "dark", 1);
    EXPECT_EQ(MenuBarRenderer::ink("dark", 1).key, "dark@1");
    EXPECT_EQ(MenuBarRenderer::ink("dark", 1.5).key, "dark@1.5");
    EXPECT_TRUE(MenuBarRenderer::glyphCells().isEmpty());
}

TEST(MenuBarDrawing, TextWiderThanItsSlotOverflowsBothSidesAndIsCutAtTheEdges)
{
    const double slot = MenuBarRenderer::ratesWidth();
    const Piece wide = Piece::rates("8888888888888", "8");
    // The same piece with 20 points of room on either side shows how far the text overflows.
    const QImage roomy = rendered(Layout{{wide}, slot + 40}, "light", 2).copy();
    const QImage tight = rendered(Layout{{wide}, slot}, "light", 2);
    const QRect overflow = inkBox(roomy);
    EXPECT_LT(overflow.left(), 40 - 10);
    EXPECT_LE(std::abs(overflow.left() - (roomy.width() - 1 - overflow.right())), 2);
    // In the tight image the text is cut at the image edges only, not at the slot or a cell.
    EXPECT_EQ(tight, roomy.copy(40, 0, tight.width(), tight.height()));
    const QRect cut = inkBox(tight);
    EXPECT_LE(cut.left(), 2);
    EXPECT_GE(cut.right(), tight.width() - 3);
}

TEST(MenuBarDrawing, PiecesAreCentredInTheReservedWidth)
{
    // The plain drive, 20 × 14 points, in a 22-point slot of a 44-point image.
    const QImage plain = rendered(Layout{{Piece::glyph(false)}, 44}, "light", 2);
    const QRect box = inkBox(plain);
    ASSERT_FALSE(box.isNull());
    EXPECT_EQ(box.left(), plain.width() - 1 - box.right());
    EXPECT_EQ(box.top(), plain.height() - 1 - box.bottom());

    // The badged drive keeps the drive where the plain one is: only the badge is added.
    const QImage badged = rendered(Layout{{Piece::glyph(true)}, 44}, "light", 2);
    const QRect badgedBox = inkBox(badged);
    EXPECT_EQ(badgedBox.left(), box.left());
    EXPECT_EQ(badgedBox.bottom(), box.bottom());
    EXPECT_LT(badgedBox.top(), box.top());

    // Pieces narrower than the width start at the rounded centre offset.
    const double rates = MenuBarRenderer::ratesWidth();
    const QImage offset = rendered(Layout{{Piece::glyph(false), Piece::rates("8", "8")}, 22 + 6 + rates + 20}, "light", 1);
    // Plain image: slot at 11 points; here at 10.
    EXPECT_EQ(inkBox(offset).left(), box.left() / 2 - 11 + 10);
}

TEST(MenuBarDrawing, TraceDrawsBaselineAndSeriesInsideItsChart)
{
    // Scale 2: the chart spans rows 6..37 (points 3..19), the baseline is row 37.
    const QImage single = rendered(Layout{{Piece::trace({0.5}, {0.5})}, 28}, "light", 2);
    const QRect baseline = inkBox(single);
    EXPECT_EQ(baseline, QRect(0, 37, 56, 1));
    EXPECT_EQ(pixelAt(single, 10, 37)[3], 64);  // alpha 0.25
    // At scale 1 the half-point baseline covers half of row 18.
    const QImage half = rendered(Layout{{Piece::trace({}, {})}, 28}, "light", 1);
    EXPECT_EQ(inkBox(half), QRect(0, 18, 28, 1));
    EXPECT_EQ(pixelAt(half, 10, 18)[3], 32);

    const QImage flat = rendered(Layout{{Piece::trace({0, 0}, {})}, 28}, "light", 2);
    EXPECT_GE(inkBox(flat).top(), 34);

    const QImage high = rendered(Layout{{Piece::trace({2, 5}, {-1, 0})}, 28}, "light", 2);
    const QRect top = inkBox(high, QRect(0, 0, 56, 30));
    ASSERT_FALSE(top.isNull());
    EXPECT_GE(top.top(), 6);
    EXPECT_LE(top.bottom(), 10);

    // Write over read: the write line is drawn in the text colour, the read line lighter.
    const QImage both = rendered(Layout{{Piece::trace({1, 1}, {0, 0})}, 28}, "light", 2);
    int strongest = 0;
    for (int x = 4; x < 52; ++x)
        for (int y = 6; y < 12; ++y)
            strongest = std::max(strongest, int(pixelAt(both, x, y)[3]));
    EXPECT_EQ(strongest, 255);
    int readLine = 0;
    for (int x = 4; x < 52; ++x)
        readLine = std::max(readLine, int(pixelAt(both, x, 35)[3]));
    EXPECT_GT(readLine, 60);
    EXPECT_LT(readLine, 130);  // alpha 0.45
}

TEST(MenuBarDrawing, CaptionAndTextColoursAreSeparateCacheEntries)
{
    const MenuBarRenderer::Ink& ink = MenuBarRenderer::ink("light", 2);
    const QFont& font = MenuBarRenderer::captionFont();
    const double a = MenuBarRenderer::advance(font);
    const auto caption = MenuBarRenderer::rasterize("8", font, ink.caption, a, 2);
    const auto text = MenuBarRenderer::rasterize("8", font, ink.text, a, 2);
    ASSERT_TRUE(caption && text);
    EXPECT_EQ(caption->ink, text->ink);
    EXPECT_NE(caption->pixels, text->pixels);
    EXPECT_EQ(*std::max_element(text->pixels.begin(), text->pixels.end()), 255);
    EXPECT_LT(*std::max_element(caption->pixels.begin(), caption->pixels.end()), 200);

    EXPECT_EQ(qHash(MenuBarRenderer::GlyphKey{0.0, -0.0, "x"}, 7), qHash(MenuBarRenderer::GlyphKey{-0.0, 0.0, "x"}, 7));

    // In a render: the caption and the value of one digit, at their sizes and alphas.
    rendered(Layout{{Piece::stacked("8", "8")}, 40}, "light", 2);
    EXPECT_TRUE(MenuBarRenderer::glyphCells().contains({8, ink.caption.alphaF(), "8"}));
    EXPECT_TRUE(MenuBarRenderer::glyphCells().contains({11, ink.text.alphaF(), "8"}));
    EXPECT_FALSE(MenuBarRenderer::glyphCells().contains({8, ink.text.alphaF(), "8"}));
}

TEST(MenuBarDrawing, CellInkBoxBoundsTheNonTransparentPixels)
{
    const QFont& font = MenuBarRenderer::valueFont();
    const auto cell = MenuBarRenderer::rasterize(".", font, Qt::black, MenuBarRenderer::advance(font), 2);
    ASSERT_TRUE(cell);
    EXPECT_EQ(cell->width, int(std::ceil(MenuBarRenderer::advance(font) * 2)) + 4);
    EXPECT_EQ(cell->pixels.size(), std::size_t(cell->width * cell->height * 4));
    // A full stop sits on the baseline: low in the cell, narrow.
    EXPECT_GT(cell->ink.rows.lower, cell->height / 2);
    EXPECT_LT(cell->ink.columns.upper - cell->ink.columns.lower, cell->width / 2);
    for (int y = 0; y < cell->height; ++y)
        for (int x = 0; x < cell->width; ++x)
            if (x < cell->ink.columns.lower || x >= cell->ink.columns.upper || y < cell->ink.rows.lower || y >= cell->ink.rows.upper)
                ASSERT_EQ(cell->pixels[std::size_t(y * cell->width + x) * 4 + 3], 0) << x << "," << y;

    const auto blank = MenuBarRenderer::rasterize("\u200B", font, Qt::black, MenuBarRenderer::advance(font), 2);
    ASSERT_TRUE(blank);
    EXPECT_TRUE(blank->ink.columns.isEmpty());
    EXPECT_TRUE(blank->ink.rows.isEmpty());
}

TEST(MenuBarDrawing, DrawTextOutsideARenderDoesNothing)
{
    // The image shares the buffer of the last render: a stray write would show in it.
    const QImage last = rendered(Layout{{}, 40}, "light", 1);
    MenuBarRenderer::drawText("8888", 40, 0, 0, MenuBarRenderer::ratesFont(), Qt::black);
    EXPECT_TRUE(inkBox(last).isNull());
}

// The square face at the small sizes panels use, on a light and a dark panel: ink of the panel's
// kind, the fill bar as long as the share used (orange when low), activity marks in their corners.
TEST(SquareIcon, FillBarAndActivityMarksReadAtEverySmallSize)
{
    const QColor accent(0x30, 0xd1, 0x58), write(0xd1, 0x30, 0xc8), orange(0xff, 0x95, 0x00);
    // Pixels of about this colour inside an area, and the columns they span.
    int left = 0, right = 0;
    const auto count = [&](const QImage& image, const QRect& area, const QColor& colour) {
        int n = 0;
        left = INT_MAX, right = -1;
        for (int y = area.top(); y <= area.bottom(); ++y)
            for (int x = area.left(); x <= area.right(); ++x) {
                const QColor c = QColor::fromRgba(image.pixel(x, y));
                const bool near = c.alpha() > 200 && std::abs(c.red() - colour.red()) < 40
                                  && std::abs(c.green() - colour.green()) < 40 && std::abs(c.blue() - colour.blue()) < 40;
                n += near;
                left = near ? std::min(left, x) : left;
                right = near ? std::max(right, x) : right;
            }
        return n;
    };
    struct Row {
        const char* name;
        SquareIcon::State state;
    };
    const QList<Row> rows{{"half used, reading", {.used = 0.5, .reading = true}},
                          {"low, writing", {.used = 0.95, .low = true, .writing = true}},
                          {"no reading, quiet", {}}};
    for (const int size : {16, 22, 24})
        for (const bool dark : {false, true})
            for (const Row& row : rows) {
                const std::string where = std::string(row.name) + " at " + std::to_string(size) + (dark ? " dark" : " light");
                const QColor ink = SquareIcon::ink(dark);
                const QImage icon = SquareIcon::render(row.state, size, {.ink = ink, .accent = accent, .write = write});
                ASSERT_EQ(icon.size(), QSize(size, size)) << where;
                EXPECT_EQ(qGray(ink.rgb()) > 128, dark) << where;
                // The body's outline reaches both sides.
                EXPECT_GT(count(icon, QRect(0, 0, 2, size), ink), size / 4) << where;
                EXPECT_GT(count(icon, QRect(size - 2, 0, 2, size), ink), size / 4) << where;
                const QRect lower(0, size / 2, size, size / 2), topLeft(0, 0, size / 2, size / 4),
                    topRight(size / 2, 0, size / 2, size / 4);
                const int bar = count(icon, lower, row.state.low ? orange : accent);
                if (row.state.used)  // about the used share of the width inside the outline
                    EXPECT_NEAR(right - left + 1, 0.8 * size * *row.state.used, size / 5.0) << where;
                else
                    EXPECT_EQ(bar, 0) << where;
                EXPECT_EQ(count(icon, topLeft, accent) > 2, row.state.reading) << where;
                EXPECT_EQ(count(icon, topRight, write) > 2, row.state.writing) << where;
            }
}
