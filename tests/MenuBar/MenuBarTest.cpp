#include "MenuBar/MenuBarCanvas.h"
#include "MenuBar/MenuBarRenderer.h"
#include "MenuBar/PointMetrics.h"
#include "MenuBar/SquareIcon.h"

#include "support/Printers.h"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>

using namespace mallowby;

namespace {

using Piece = MenuBarRenderer::Piece;
using Inputs = MenuBarRenderer::Inputs;
using Layout = MenuBarRenderer::Layout;
using S = MenuBarStyle;
constexpr double NaN = std::numeric_limits<double>::quiet_NaN(), infinity = std::numeric_limits<double>::infinity();

// Inputs showing `style` for the pinned "Backup", reserving only that style unless told.
Inputs inputs(S style, std::optional<Inputs::Trace> trace = std::nullopt, QList<S> reserved = {}, double read = 0, double write = 0,
              ByteUnits units = ByteUnits::decimal)
{
    return {.style = style, .reserved = reserved.isEmpty() ? QList{style} : reserved, .pinnedName = "Backup", .pinnedAvailable = 1.5e12,
            .readRate = read, .writeRate = write, .trace = std::move(trace), .units = units};
}

// The pixels with ink inside `area` (the whole image when null), opaque and of about `colour` when one is given.
struct Inked {
    QRect box;
    int strongest = 0;
    int count = 0;
};
Inked inked(const QImage& image, const QRect& area = {}, const std::optional<QColor>& colour = {})
{
    Inked ink;
    const QRect region = area.isNull() ? image.rect() : area & image.rect();
    for (int y = region.top(); y <= region.bottom(); ++y)
        for (int x = region.left(); x <= region.right(); ++x) {
            const QColor c = QColor::fromRgba(image.pixel(x, y));
            const int off = colour ? std::max({std::abs(c.red() - colour->red()), std::abs(c.green() - colour->green()),
                                               std::abs(c.blue() - colour->blue())}) : 0;
            if (colour ? c.alpha() > 200 && off < 40 : c.alpha() != 0) {
                ink.box |= QRect(x, y, 1, 1);
                ink.strongest = std::max(ink.strongest, c.alpha());
                ++ink.count;
            }
        }
    return ink;
}

QRect inkBox(const QImage& image) { return inked(image).box; }

QImage rendered(const Layout& layout, const QString& appearance = "light", double scale = 2)
{
    const std::optional<QImage> image = MenuBarRenderer::render(layout, appearance, scale);
    EXPECT_TRUE(image.has_value());
    return image.value_or(QImage());
}

} // namespace

// Measurements are whole points rounded up from the font's own size; pieces and width of each kind of input; captions.
TEST(MenuBarLayout, MeasurementsPiecesWidthsAndCaptions)
{
    const QFont &ratesFont = MenuBarRenderer::ratesFont(), &captionFont = MenuBarRenderer::captionFont();
    const double raw = PointMetrics(ratesFont).horizontalAdvance("R 8888");
    EXPECT_EQ(MenuBarRenderer::ratesWidth(), std::ceil(raw));
    EXPECT_NEAR(MenuBarRenderer::advance(ratesFont) * 6, raw, 0.01);
    // 9.5 pt is not rounded to a whole pixel size.
    EXPECT_NEAR(MenuBarRenderer::advance(ratesFont) / MenuBarRenderer::advance(captionFont), 9.5 / 8, 0.01);
    EXPECT_GE(MenuBarRenderer::stackedWidth(),
              std::max(MenuBarRenderer::measure("88888888", captionFont), MenuBarRenderer::measure("8888", MenuBarRenderer::valueFont())));
    EXPECT_EQ(MenuBarRenderer::width(QList<Piece>{}), 0);

    // Rates padded, never cut; trace samples in 32nds of the largest, at least 1 MB/s; the width covers every reserved style.
    const double glyph = MenuBarRenderer::glyphWidth(), stacked = MenuBarRenderer::stackedWidth(),
                 rates = MenuBarRenderer::ratesWidth(), traced = std::ceil(28 + 4 + rates);
    const Piece backup = Piece::stacked("Backup", "1.5T"), idle = Piece::rates("R    0", "W    0");
    struct Row {
        const char* name;
        Inputs in;
        QList<Piece> pieces;
        double width;
    };
    for (const Row& row : QList<Row>{
             {"icon", inputs(S::icon), {Piece::glyph(false)}, glyph},
             {"space", inputs(S::space), {backup}, stacked},
             {"rates", inputs(S::activity, {}, {}, 0, 12'300'000), {Piece::rates("R    0", "W  12M")}, rates},
             {"rates never cut", inputs(S::activity, {}, {}, 512, 5e18), {Piece::rates("R 512B", "W 5000P")}, rates},
             {"rates binary, NaN", inputs(S::activity, {}, {}, 1'048'576 * 3, NaN, ByteUnits::binary), {Piece::rates("R 3.0M", "W    0")}, rates},
             {"trace, quiet", inputs(S::activity, Inputs::Trace{{0, 250'000, 500'000}, {1'000, 1'000'000, 999'999}}),
              {Piece::trace({0, 1, 1}, {0, 0.25, 0.5}), idle}, traced},
             {"trace, busy", inputs(S::activity, Inputs::Trace{{40e6, 10e6}, {20e6, 0}}), {Piece::trace({0.5, 0}, {1, 0.25}), idle}, traced},
             {"trace, 32nds", inputs(S::activity, Inputs::Trace{{15'625, 46'875, 15'624, 510'000}, {}}),
              {Piece::trace({}, {1.0 / 32, 2.0 / 32, 0, 16.0 / 32}), idle}, traced},
             {"trace, unusable", inputs(S::activity, Inputs::Trace{{NaN, -5e6, 2e6}, {infinity, 500'000}}),
              {Piece::trace({0, 0.25}, {0, 0, 1}), idle}, traced},
             {"both, trace", inputs(S::spaceActivity, Inputs::Trace{{0}, {0}}), {backup, Piece::trace({0}, {0}), idle},
              std::ceil(stacked + 6 + 28 + 4 + rates)},
             {"activity, all reserved", inputs(S::activity, {}, {S::space, S::icon, S::activity}), {idle}, std::max({stacked, glyph, rates})},
             {"icon, activity reserved", inputs(S::icon, Inputs::Trace{}, {S::icon, S::activity}), {Piece::glyph(false)}, traced},
             {"both, not reserved", inputs(S::spaceActivity, {}, {S::icon}), {backup, idle}, std::ceil(stacked + 6 + rates)}}) {
        EXPECT_TRUE(MenuBarRenderer::layout(row.in) == (Layout{row.pieces, row.width})) << row.name;
    }
    // Low: the drive's badge; the caption cut one character shorter, then "!".
    Inputs low = inputs(S::icon);
    low.anyLow = true;
    EXPECT_EQ(MenuBarRenderer::layout(low).pieces, QList{Piece::glyph(true)});
    low.style = S::space;
    low.pinnedLow = true;
    low.pinnedName = "Photos 2024";
    EXPECT_EQ(MenuBarRenderer::layout(low).pieces, QList{Piece::stacked("Photos…!", "1.5T")});
    // Equal layouts are not drawn again: tiny changes give one, and a NaN sample equals itself.
    const auto last = [](double sample) {
        return MenuBarRenderer::layout(inputs(S::activity, Inputs::Trace{{15'700, 46'900, 15'000, sample}, {NaN}}));
    };
    EXPECT_EQ(last(510'000), last(505'000));
    EXPECT_NE(last(510'000), last(530'000));

    // Cut on grapheme clusters (a flag is a pair of regional indicators) to eight; when low, one less and "!".
    const QString accent = QStringLiteral("e\u0301");
    const QString family = QStringLiteral("\U0001F468\u200D\U0001F469\u200D\U0001F467\u200D\U0001F466");
    const QString flag = QStringLiteral("\U0001F1E9\U0001F1EA"), lone = QStringLiteral("\U0001F1E9");
    const QList<std::tuple<QString, bool, QString>> captions{
        {"ABCDEFGH", false, "ABCDEFGH"},   {"ABCDEFGHI", false, "ABCDEFG…"}, {"Photos 2024", false, "Photos …"},
        {"ABCDEFG", true, "ABCDEFG!"},     {"ABCDEFGH", true, "ABCDEF…!"},   {"", false, ""},
        {"", true, "!"},                   {accent.repeated(8), false, accent.repeated(8)},
        {accent.repeated(8) + "x", false, accent.repeated(7) + "…"},       {family.repeated(8), false, family.repeated(8)},
        {flag.repeated(9), true, flag.repeated(6) + "…!"}};
    for (const auto& [name, low, expected] : captions)
        EXPECT_EQ(MenuBarRenderer::fitCaption(name, low), expected) << name.toStdString() << (low ? " low" : "");
    const QList<std::pair<QString, QStringList>> clusters{
        {family + flag + "a", {family, flag, "a"}}, {flag + lone + "x", {flag, lone, "x"}},
        {lone + flag, {lone + lone, QStringLiteral("\U0001F1EA")}}, {"\r\n", {"\r\n"}}};
    for (const auto& [text, expected] : clusters)
        EXPECT_EQ(MenuBarRenderer::characters(text), expected) << text.toStdString();
}

// Where the ink of one render lies and how strong it is; at scale 2 the trace chart spans rows 6..37.
TEST(MenuBarDrawing, InkOfEachRenderLiesWhereItShould)
{
    const Layout peaks{{Piece::trace({2, 5}, {-1, 0})}, 28}, both{{Piece::trace({1, 1}, {0, 0})}, 28};
    for (const auto& [name, layout, scale, area, box, weakest, strongest] :
         QList<std::tuple<const char*, Layout, double, QRect, std::optional<QRect>, int, int>>{
             {"empty", {{}, 0}, 2, {}, QRect(), 0, 0},
             {"single sample: the baseline only", {{Piece::trace({0.5}, {0.5})}, 28}, 2, {}, QRect(0, 37, 56, 1), 64, 64},
             {"half-point baseline at scale 1", {{Piece::trace({}, {})}, 28}, 1, {}, QRect(0, 18, 28, 1), 32, 32},
             {"idle samples stay on the baseline", {{Piece::trace({0, 0}, {})}, 28}, 2, QRect(0, 0, 56, 34), QRect(), 0, 0},
             {"nothing above the chart", peaks, 2, QRect(0, 0, 56, 6), QRect(), 0, 0},
             {"clamped peaks at the chart top", peaks, 2, QRect(0, 6, 56, 5), std::nullopt, 1, 255},
             {"nothing between the peaks and the bottom", peaks, 2, QRect(0, 11, 56, 19), QRect(), 0, 0},
             {"write line in the text colour", both, 2, QRect(4, 6, 48, 6), std::nullopt, 255, 255},
             {"read line lighter", both, 2, QRect(4, 35, 48, 1), std::nullopt, 61, 129},
             {"caption at 0.7", {{Piece::stacked("8", "8")}, 40}, 2, QRect(0, 0, 80, 17), std::nullopt, 170, 190},
             {"value in the text colour", {{Piece::stacked("8", "8")}, 40}, 2, QRect(0, 20, 80, 24), std::nullopt, 255, 255}}) {
        const QImage image = rendered(layout, "light", scale);
        EXPECT_EQ(image.format(), QImage::Format_RGBA8888_Premultiplied) << name;
        EXPECT_EQ(image.size(), QSize(int(std::max(std::ceil(layout.width), 1.0) * scale), int(22 * scale))) << name;
        EXPECT_EQ(image.devicePixelRatio(), scale) << name;
        const Inked ink = inked(image, area);
        EXPECT_TRUE(!box || ink.box == *box) << name;
        EXPECT_TRUE(ink.strongest >= weakest && ink.strongest <= strongest) << name << ": " << ink.strongest;
    }
}

// Undrawable requests; the ink across appearances and scales; the two pooled buffers; stray text.
TEST(MenuBarDrawing, RenderStateAcrossAppearancesScalesAndBuffers)
{
    const double nan = std::numeric_limits<double>::quiet_NaN();
    const Layout icon{{Piece::glyph(false)}, 22};
    for (const auto& [layout, scale] : {std::pair{icon, 0.0}, {icon, -2.0}, {icon, nan}, {Layout{{}, 1e12}, 2.0}, {Layout{{}, nan}, 2.0}})
        EXPECT_FALSE(MenuBarRenderer::render(layout, "light", scale)) << layout.width << " at " << scale;

    // Light, then dark: the same shapes, black ink turned white.
    const Layout layout{{Piece::glyph(false), Piece::rates("R   1M", "W   2M")}, 80};
    QImage light = rendered(layout).copy();
    EXPECT_GT(inked(light, {}, Qt::black).count, 100);
    light.invertPixels();
    EXPECT_EQ(rendered(layout, "dark"), light);
    // Another scale is another ink: the cells of the last one go.
    rendered(layout, "dark", 1);
    EXPECT_FALSE(MenuBarRenderer::glyphCells().isEmpty());
    MenuBarRenderer::ink("dark", 1.5);
    EXPECT_TRUE(MenuBarRenderer::glyphCells().isEmpty());
    EXPECT_EQ(MenuBarRenderer::glyphImageCount(), 0);

    // Renders alternate between two buffers, shared with the images, not copied.
    {
        const Layout glyph{{Piece::glyph(false)}, 30};
        const QImage first = rendered(glyph), second = rendered(glyph), third = rendered(Layout{{}, 30});
        EXPECT_EQ(std::pair(second.constBits() == first.constBits(), third.constBits() == first.constBits()), std::pair(false, true));
        EXPECT_TRUE(inkBox(first).isNull()) << "the third cleared the first's buffer";
        EXPECT_FALSE(inkBox(second).isNull());
    }
    // A kept image holds its buffer after another size replaced the pool.
    std::optional<QImage> kept = rendered(Layout{{Piece::glyph(true)}, 40});
    const QRect drawn = inkBox(*kept);
    ASSERT_FALSE(drawn.isNull());
    const int pooled = MenuBarRenderer::Canvas::buffersAlive();
    rendered(Layout{{}, 41});
    EXPECT_EQ(MenuBarRenderer::Canvas::buffersAlive(), pooled + 1);
    EXPECT_EQ(inkBox(*kept), drawn);
    kept.reset();
    EXPECT_EQ(MenuBarRenderer::Canvas::buffersAlive(), pooled);
    // Text drawn outside a render does not reach the last image, which shares its buffer.
    const QImage last = rendered(Layout{{}, 40}, "light", 1);
    MenuBarRenderer::drawText("8888", 40, 0, 0, MenuBarRenderer::ratesFont(), Qt::black);
    EXPECT_TRUE(inkBox(last).isNull());
}

// Pieces are centred in the reserved width; wider text overflows its slot, cut at the image edges only.
TEST(MenuBarDrawing, PiecesAreCentredAndOverflowIsCutAtTheImageEdges)
{
    // The plain drive in a 44-point image; the badge adds above it without moving it.
    const QImage plain = rendered(Layout{{Piece::glyph(false)}, 44});
    const QRect box = inkBox(plain), badged = inkBox(rendered(Layout{{Piece::glyph(true)}, 44}));
    ASSERT_FALSE(box.isNull());
    EXPECT_EQ(std::pair(box.left(), box.top()), std::pair(plain.width() - 1 - box.right(), plain.height() - 1 - box.bottom()));
    EXPECT_EQ(std::tuple(badged.left(), badged.bottom()), std::tuple(box.left(), box.bottom()));
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
    EXPECT_TRUE(cut.left() <= 2 && cut.right() >= tight.width() - 3) << "cut at the edges only";
}

// Glyph cells bound their ink and are kept per font size and alpha.
TEST(MenuBarDrawing, GlyphCellsBoundTheirInkAndAreKeptPerSizeAndAlpha)
{
    const QFont& value = MenuBarRenderer::valueFont();
    const auto cell = MenuBarRenderer::rasterize(".", value, Qt::black, MenuBarRenderer::advance(value), 2);
    ASSERT_TRUE(cell);
    EXPECT_EQ(cell->width, int(std::ceil(MenuBarRenderer::advance(value) * 2)) + 4);
    // A full stop sits on the baseline: low in the cell, narrow; nothing outside its ink box.
    const QImage image(cell->pixels.data(), cell->width, cell->height, QImage::Format_RGBA8888_Premultiplied);
    const auto& [columns, rows] = cell->ink;
    EXPECT_EQ(inkBox(image), QRect(QPoint(columns.lower, rows.lower), QPoint(columns.upper - 1, rows.upper - 1)));
    EXPECT_TRUE(rows.lower > cell->height / 2 && columns.upper - columns.lower < cell->width / 2) << "low and narrow";
    const auto blank = MenuBarRenderer::rasterize("\u200B", value, Qt::black, MenuBarRenderer::advance(value), 2);
    ASSERT_TRUE(blank);
    EXPECT_TRUE(blank->ink.columns.isEmpty() && blank->ink.rows.isEmpty());

    const MenuBarRenderer::Ink& ink = MenuBarRenderer::ink("light", 2);
    EXPECT_EQ(qHash(MenuBarRenderer::GlyphKey{0.0, -0.0, "x"}, 7), qHash(MenuBarRenderer::GlyphKey{-0.0, 0.0, "x"}, 7));
    // In a render: the caption and the value of one digit, at their sizes and alphas.
    rendered(Layout{{Piece::stacked("8", "8")}, 40});
    EXPECT_TRUE(MenuBarRenderer::glyphCells().contains({8, ink.caption.alphaF(), "8"}));
    EXPECT_TRUE(MenuBarRenderer::glyphCells().contains({11, ink.text.alphaF(), "8"}));
}

// The square face at small sizes on light and dark panels: its ink, the fill bar, the activity marks.
TEST(SquareIcon, FillBarAndActivityMarksReadAtEverySmallSize)
{
    const QColor accent(0x30, 0xd1, 0x58), write(0xd1, 0x30, 0xc8), orange(0xff, 0x95, 0x00);
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
                // The outline reaches both sides; the bar is about the used share of the width inside it.
                EXPECT_GT(std::min(inked(icon, QRect(0, 0, 2, size), ink).count, inked(icon, QRect(size - 2, 0, 2, size), ink).count), size / 4);
                const int bar = inked(icon, QRect(0, size / 2, size, size / 2), state.low ? orange : accent).box.width();
                EXPECT_NEAR(bar, 0.8 * size * state.used.value_or(0), state.used ? size / 5.0 : 0);
                EXPECT_EQ(std::pair(inked(icon, QRect(0, 0, size / 2, size / 4), accent).count > 2,
                                    inked(icon, QRect(size / 2, 0, size / 2, size / 4), write).count > 2),
                          std::pair(state.reading, state.writing));
            }
}
