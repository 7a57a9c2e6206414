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
using S = MenuBarStyle;
constexpr double NaN = std::numeric_limits<double>::quiet_NaN(), infinity = std::numeric_limits<double>::infinity();

Inputs inputs(S style, QList<S> reserved = {}, std::optional<Inputs::Trace> trace = std::nullopt)
{
    return {.style = style, .reserved = reserved.isEmpty() ? QList{style} : reserved, .pinnedName = "Backup",
            .pinnedAvailable = 1.5e12, .readRate = 2'500'000, .trace = std::move(trace), .units = {}};
}

Piece::Trace tracePiece(const Inputs& in)
{
    for (const Piece& piece : MenuBarRenderer::layout(in).pieces)
        if (const auto* trace = std::get_if<Piece::Trace>(&piece.value))
            return *trace;
    ADD_FAILURE() << "no trace piece";
    return {};
}

} // namespace

TEST(MenuBarLayout, MeasurementsAreWholePointsRoundedUpFromTheFontsOwnSize)
{
    const QFont& rates = MenuBarRenderer::ratesFont();
    const double raw = PointMetrics(rates).horizontalAdvance("R 8888"), measured = MenuBarRenderer::measure("R 8888", rates);
    EXPECT_EQ(measured, std::ceil(raw));
    EXPECT_EQ(MenuBarRenderer::measure("R 8888", rates), measured);  // cached
    EXPECT_EQ(MenuBarRenderer::ratesWidth(), measured);
    EXPECT_NEAR(MenuBarRenderer::advance(rates) * 6, raw, 0.01);
    // 9.5 pt is not rounded to a whole pixel size.
    EXPECT_NEAR(MenuBarRenderer::advance(rates) / MenuBarRenderer::advance(MenuBarRenderer::captionFont()), 9.5 / 8, 0.01);
}

// A width covers every reserved style (a trace the activity style would show counts even when
// only the glyph is drawn) and the shown one.
TEST(MenuBarLayout, EachStyleHasItsPiecesAndWidthCoversEveryReservedStyle)
{
    const double glyph = MenuBarRenderer::glyphWidth(), stacked = MenuBarRenderer::stackedWidth(),
                 rates = MenuBarRenderer::ratesWidth();
    EXPECT_GE(stacked, MenuBarRenderer::measure("88888888", MenuBarRenderer::captionFont()));
    EXPECT_GE(stacked, MenuBarRenderer::measure("8888", MenuBarRenderer::valueFont()));
    const Piece space = Piece::stacked("Backup", "1.5T"), rate = Piece::rates("R 2.5M", "W    0"), trace = Piece::trace({}, {});
    const std::optional<Inputs::Trace> none, flat = Inputs::Trace{{0, 0}, {0, 0}};
    struct Row {
        const char* name;
        S style;
        QList<S> reserved;
        std::optional<Inputs::Trace> samples;
        bool low;
        QList<Piece> pieces;
        double width;
    };
    for (const Row& row : QList<Row>{
             {"icon", S::icon, {}, none, false, {Piece::glyph(false)}, glyph},
             {"icon, low", S::icon, {}, none, true, {Piece::glyph(true)}, glyph},
             {"space", S::space, {}, none, false, {space}, stacked},
             {"activity", S::activity, {}, none, false, {rate}, rates},
             {"activity with trace", S::activity, {}, flat, false, {trace, rate}, std::ceil(28 + 4 + rates)},
             {"both", S::spaceActivity, {}, none, false, {space, rate}, std::ceil(stacked + 6 + rates)},
             {"both with trace", S::spaceActivity, {}, flat, false, {space, trace, rate}, std::ceil(stacked + 6 + 28 + 4 + rates)},
             {"activity, all reserved", S::activity, {S::space, S::icon, S::activity}, none, false, {rate},
              std::max({stacked, glyph, rates})},
             {"icon, activity reserved", S::icon, {S::icon, S::activity}, Inputs::Trace{}, false, {Piece::glyph(false)},
              std::ceil(28 + 4 + rates)},
             {"both, not reserved", S::spaceActivity, {S::icon}, none, false, {space, rate}, std::ceil(stacked + 6 + rates)}}) {
        SCOPED_TRACE(row.name);
        Inputs in = inputs(row.style, row.reserved, row.samples);
        in.anyLow = row.low;
        const MenuBarRenderer::Layout layout = MenuBarRenderer::layout(in);
        ASSERT_EQ(layout.pieces.size(), row.pieces.size());
        for (qsizetype i = 0; i < row.pieces.size(); ++i)
            if (std::holds_alternative<Piece::Trace>(row.pieces[i].value)) {  // any trace piece
                EXPECT_TRUE(std::holds_alternative<Piece::Trace>(layout.pieces[i].value)) << i;
            } else {
                EXPECT_EQ(layout.pieces[i], row.pieces[i]) << i;
            }
        EXPECT_EQ(layout.width, row.width);
    }
    EXPECT_EQ(MenuBarRenderer::width(QList<Piece>{}), 0);
}

// Padded to four characters, never cut; an unusable rate reads 0.
TEST(MenuBarLayout, RatesArePaddedAndNeverCut)
{
    for (const auto& [read, write, units, expected] : QList<std::tuple<double, double, ByteUnits, Piece>>{
             {0, 12'300'000, ByteUnits::decimal, Piece::rates("R    0", "W  12M")},
             {512, 5e18, ByteUnits::decimal, Piece::rates("R 512B", "W 5000P")},
             {1'048'576 * 3, NaN, ByteUnits::binary, Piece::rates("R 3.0M", "W    0")}}) {
        Inputs in = inputs(S::activity);
        in.readRate = read, in.writeRate = write, in.units = units;
        EXPECT_EQ(MenuBarRenderer::layout(in).pieces, QList{expected}) << read << " " << write;
    }
}

// Samples against the largest one but at least 1 MB/s, in 32nds rounded half away from zero;
// NaN, infinite and negative samples count as idle.
TEST(MenuBarLayout, TraceIsScaledToTheLargestSampleButAtLeastOneMegabytePerSecond)
{
    struct Row {
        const char* name;
        Inputs::Trace samples;
        QList<double> read, write;
    };
    for (const Row& row : QList<Row>{
             {"quiet", {{0, 250'000, 500'000}, {1'000, 1'000'000, 999'999}}, {0, 0.25, 0.5}, {0, 1, 1}},
             {"busy", {{40e6, 10e6}, {20e6, 0}}, {1, 0.25}, {0.5, 0}},
             {"32nds", {{15'625, 46'875, 15'624, 510'000}, {}}, {1.0 / 32, 2.0 / 32, 0, 16.0 / 32}, {}},
             {"unusable", {{NaN, -5e6, 2e6}, {infinity, 500'000}}, {0, 0, 1}, {0, 0.25}}}) {
        const Piece::Trace piece = tracePiece(inputs(S::activity, {}, row.samples));
        EXPECT_EQ(piece.secondary, row.read) << row.name;
        EXPECT_EQ(piece.primary, row.write) << row.name;
    }
    // Equal layouts are not drawn again: tiny changes give one, and a NaN sample equals itself.
    const auto last = [](double sample) {
        return MenuBarRenderer::layout(inputs(S::activity, {}, Inputs::Trace{{15'700, 46'900, 15'000, sample}, {NaN}}));
    };
    EXPECT_EQ(last(510'000), last(505'000));
    EXPECT_NE(last(510'000), last(530'000));
}

// Cut on characters (grapheme clusters, a flag being a pair of regional indicators) to fit its
// slot; when low, one character less and then "!".
TEST(MenuBarLayout, CaptionIsCutOnCharactersToFitItsSlot)
{
    ASSERT_EQ(qsizetype(MenuBarRenderer::stackedWidth() / MenuBarRenderer::advance(MenuBarRenderer::captionFont())), 8);
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

    Inputs in = inputs(S::space);
    in.pinnedName = "Photos 2024", in.pinnedLow = true, in.pinnedAvailable = 812e6;
    EXPECT_EQ(MenuBarRenderer::layout(in).pieces, QList{Piece::stacked("Photos…!", "812M")});
}
