#include "MenuBar/MenuBarRenderer.h"

#include "MenuBar/PointMetrics.h"

#include "support/Printers.h"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>

using namespace mallowby;

namespace {

using Piece = MenuBarRenderer::Piece;
using Inputs = MenuBarRenderer::Inputs;

Inputs inputs(MenuBarStyle style, QList<MenuBarStyle> reserved)
{
    Inputs in;
    in.style = style;
    in.reserved = std::move(reserved);
    in.pinnedName = QStringLiteral("Backup");
    in.pinnedAvailable = 1.5e12;
    in.readRate = 2'500'000;
    in.writeRate = 0;
    return in;
}

Inputs::Trace trace(QList<double> read, QList<double> write) { return Inputs::Trace{std::move(read), std::move(write)}; }

const Piece::Trace& tracePiece(const QList<Piece>& pieces)
{
    for (const Piece& piece : pieces)
        if (const auto* trace = std::get_if<Piece::Trace>(&piece.value))
            return *trace;
    static const Piece::Trace none;
    ADD_FAILURE() << "no trace piece";
    return none;
}

qsizetype captionMax()
{
    return qsizetype(MenuBarRenderer::stackedWidth() / MenuBarRenderer::advance(MenuBarRenderer::captionFont()));
}

} // namespace

TEST(MenuBarLayout, MeasurementsAreWholePointsRoundedUp)
{
    const QFont& rates = MenuBarRenderer::ratesFont();
    const double raw = PointMetrics(rates).horizontalAdvance("R 8888");
    const double measured = MenuBarRenderer::measure("R 8888", rates);
    EXPECT_EQ(measured, std::ceil(measured));
    EXPECT_GE(measured, raw);
    EXPECT_LT(measured, raw + 1);
    // Cached: the same answer again, and a monospace advance that adds up to the measured text.
    EXPECT_EQ(MenuBarRenderer::measure("R 8888", rates), measured);
    EXPECT_EQ(MenuBarRenderer::ratesWidth(), measured);
    EXPECT_NEAR(MenuBarRenderer::advance(rates) * 6, raw, 0.01);
    // Sizes come from the font, not from the engine's whole-pixel rounding: 9.5 pt is not 10.
    EXPECT_NEAR(MenuBarRenderer::advance(rates) / MenuBarRenderer::advance(MenuBarRenderer::captionFont()), 9.5 / 8, 0.01);
}

// The pieces of each style, and a width that covers every reserved style (a trace the activity
// style would show counts even when only the glyph is drawn).
TEST(MenuBarLayout, EachStyleHasItsPiecesAndWidthCoversEveryReservedStyle)
{
    const double glyph = MenuBarRenderer::glyphWidth(), stacked = MenuBarRenderer::stackedWidth(),
                 rates = MenuBarRenderer::ratesWidth();
    EXPECT_GE(stacked, MenuBarRenderer::measure("88888888", MenuBarRenderer::captionFont()));
    EXPECT_GE(stacked, MenuBarRenderer::measure("8888", MenuBarRenderer::valueFont()));
    const Piece space = Piece::stacked("Backup", "1.5T"), rate = Piece::rates("R 2.5M", "W    0"),
                trace = Piece::trace({}, {});  // stands for any trace piece
    using S = MenuBarStyle;
    struct Row {
        const char* name;
        S style;
        QList<S> reserved;
        std::optional<Inputs::Trace> samples;
        bool low;
        QList<Piece> pieces;
        double width;
    };
    const std::optional<Inputs::Trace> none, flat = Inputs::Trace{{0, 0}, {0, 0}}, empty = Inputs::Trace{};
    const QList<Row> rows{
        {"icon", S::icon, {S::icon}, none, false, {Piece::glyph(false)}, glyph},
        {"icon, low", S::icon, {S::icon}, none, true, {Piece::glyph(true)}, glyph},
        {"space", S::space, {S::space}, none, false, {space}, stacked},
        {"activity", S::activity, {S::activity}, none, false, {rate}, rates},
        {"activity with trace", S::activity, {S::activity}, flat, false, {trace, rate}, std::ceil(28 + 4 + rates)},
        {"both", S::spaceActivity, {S::spaceActivity}, none, false, {space, rate}, std::ceil(stacked + 6 + rates)},
        {"both with trace", S::spaceActivity, {S::spaceActivity}, flat, false, {space, trace, rate},
         std::ceil(stacked + 6 + 28 + 4 + rates)},
        {"activity, all reserved", S::activity, {S::space, S::icon, S::activity}, none, false, {rate},
         std::max({stacked, glyph, rates})},
        {"icon, activity reserved", S::icon, {S::icon, S::activity}, empty, false, {Piece::glyph(false)},
         std::ceil(28 + 4 + rates)},
        {"both, not reserved", S::spaceActivity, {S::icon}, none, false, {space, rate}, std::ceil(stacked + 6 + rates)}};
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        Inputs in = inputs(row.style, row.reserved);
        in.trace = row.samples;
        in.anyLow = row.low;
        const MenuBarRenderer::Layout layout = MenuBarRenderer::layout(in);
        ASSERT_EQ(layout.pieces.size(), row.pieces.size());
        for (qsizetype i = 0; i < row.pieces.size(); ++i)
            if (std::holds_alternative<Piece::Trace>(row.pieces[i].value))
                EXPECT_TRUE(std::holds_alternative<Piece::Trace>(layout.pieces[i].value)) << i;
            else
                EXPECT_EQ(layout.pieces[i], row.pieces[i]) << i;
        EXPECT_EQ(layout.width, row.width);
    }
    EXPECT_EQ(MenuBarRenderer::width(QList<Piece>{}), 0);
}

TEST(MenuBarLayout, RatesArePaddedToFourCharactersAndNeverCut)
{
    Inputs in = inputs(MenuBarStyle::activity, {MenuBarStyle::activity});
    in.readRate = 0;
    in.writeRate = 12'300'000;
    EXPECT_EQ(MenuBarRenderer::layout(in).pieces, QList<Piece>{Piece::rates("R    0", "W  12M")});

    in.readRate = 512;
    in.writeRate = 5e18;  // more than the last unit holds: five characters, kept whole
    EXPECT_EQ(MenuBarRenderer::layout(in).pieces, QList<Piece>{Piece::rates("R 512B", "W 5000P")});

    in.readRate = 1'048'576 * 3;
    in.units = ByteUnits::binary;
    in.writeRate = std::numeric_limits<double>::quiet_NaN();
    EXPECT_EQ(MenuBarRenderer::layout(in).pieces, QList<Piece>{Piece::rates("R 3.0M", "W    0")});
}

TEST(MenuBarLayout, TraceIsScaledToTheLargestSampleButAtLeastOneMegabytePerSecond)
{
    Inputs in = inputs(MenuBarStyle::activity, {MenuBarStyle::activity});

    // Quiet drive: everything against 1 MB/s, reads secondary, writes primary.
    in.trace = trace({0, 250'000, 500'000}, {1'000, 1'000'000, 999'999});
    Piece::Trace quiet = tracePiece(MenuBarRenderer::layout(in).pieces);
    EXPECT_EQ(quiet.secondary, (QList<double>{0, 0.25, 0.5}));
    EXPECT_EQ(quiet.primary, (QList<double>{0, 1, 1}));

    // Busy drive: the largest sample, read or write, maps to 1.
    in.trace = trace({40e6, 10e6}, {20e6, 0});
    Piece::Trace busy = tracePiece(MenuBarRenderer::layout(in).pieces);
    EXPECT_EQ(busy.secondary, (QList<double>{1, 0.25}));
    EXPECT_EQ(busy.primary, (QList<double>{0.5, 0}));

    // Multiples of 1/32, halves away from zero: 1/64 → 1/32, 3/64 → 2/32, just under 1/64 → 0.
    in.trace = trace({15'625, 46'875, 15'624, 510'000}, {});
    Piece::Trace quantised = tracePiece(MenuBarRenderer::layout(in).pieces);
    EXPECT_EQ(quantised.secondary, (QList<double>{1.0 / 32, 2.0 / 32, 0, 16.0 / 32}));
    EXPECT_TRUE(quantised.primary.isEmpty());

    // Tiny changes give an equal layout, so the image is not drawn again.
    Inputs nudged = in;
    nudged.trace = trace({15'700, 46'900, 15'000, 505'000}, {});
    EXPECT_EQ(MenuBarRenderer::layout(in), MenuBarRenderer::layout(nudged));
    nudged.trace = trace({15'700, 46'900, 15'000, 530'000}, {});
    EXPECT_NE(MenuBarRenderer::layout(in), MenuBarRenderer::layout(nudged));
}

TEST(MenuBarLayout, UnusableSamplesCountAsIdle)
{
    Inputs in = inputs(MenuBarStyle::activity, {MenuBarStyle::activity});
    const double nan = std::numeric_limits<double>::quiet_NaN();
    const double inf = std::numeric_limits<double>::infinity();
    in.trace = trace({nan, -5e6, 2e6}, {inf, 500'000});
    const MenuBarRenderer::Layout layout = MenuBarRenderer::layout(in);
    const Piece::Trace& piece = tracePiece(layout.pieces);
    EXPECT_EQ(piece.secondary, (QList<double>{0, 0, 1}));
    EXPECT_EQ(piece.primary, (QList<double>{0, 0.25}));
    // Equal to itself, so a NaN sample cannot force a redraw on every tick.
    EXPECT_EQ(layout, MenuBarRenderer::layout(in));
}

// Cut on characters (grapheme clusters, a flag being a pair of regional indicators) to fit its
// slot; when low, one character less and then "!".
TEST(MenuBarLayout, CaptionIsCutOnCharactersToFitItsSlot)
{
    ASSERT_EQ(captionMax(), 8);
    const QString accent = QStringLiteral("e\u0301");
    const QString family = QStringLiteral("\U0001F468\u200D\U0001F469\u200D\U0001F467\u200D\U0001F466");
    const QString flag = QStringLiteral("\U0001F1E9\U0001F1EA"), lone = QStringLiteral("\U0001F1E9");
    const QList<std::tuple<QString, bool, QString>> captions{
        {"ABCDEFGH", false, "ABCDEFGH"},   {"ABCDEFGHI", false, "ABCDEFG…"}, {"Photos 2024", false, "Photos …"},
        {"ABCDEFG", true, "ABCDEFG!"},     {"ABCDEFGH", true, "ABCDEF…!"},   {"Photos 2024", true, "Photos…!"},
        {"", false, ""},                   {"", true, "!"},
        {accent.repeated(8), false, accent.repeated(8)}, {accent.repeated(8) + "x", false, accent.repeated(7) + "…"},
        {family.repeated(8), false, family.repeated(8)}, {flag.repeated(9), true, flag.repeated(6) + "…!"}};
    for (const auto& [name, low, expected] : captions)
        EXPECT_EQ(MenuBarRenderer::fitCaption(name, low), expected) << name.toStdString() << (low ? " low" : "");
    const QList<std::pair<QString, QStringList>> clusters{
        {family + flag + "a", {family, flag, "a"}}, {flag + lone + "x", {flag, lone, "x"}},
        {lone + flag, {lone + lone, QStringLiteral("\U0001F1EA")}}, {"\r\n", {"\r\n"}}};
    for (const auto& [text, expected] : clusters)
        EXPECT_EQ(MenuBarRenderer::characters(text), expected) << text.toStdString();

    Inputs in = inputs(MenuBarStyle::space, {MenuBarStyle::space});
    in.pinnedName = QStringLiteral("Photos 2024");
    in.pinnedLow = true;
    in.pinnedAvailable = 812e6;
    EXPECT_EQ(MenuBarRenderer::layout(in).pieces, QList<Piece>{Piece::stacked("Photos…!", "812M")});
}
