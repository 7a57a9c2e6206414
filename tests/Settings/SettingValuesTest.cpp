#include "Settings/Accent.h"
#include "Settings/ByteUnits.h"
#include "Settings/LowSpaceThreshold.h"
#include "Settings/MenuBarStyle.h"

#include "support/Printers.h"

#include <gtest/gtest.h>

#include <limits>

using namespace mallowby;

namespace {

using Style = MenuBarStyle;

std::string text(const std::optional<LowSpaceThreshold>& threshold)
{
    return threshold ? threshold->rawValue().toStdString() : "none";
}

} // namespace

TEST(MenuBarStyle, CasesTextsAndWhatTheyShow)
{
    EXPECT_EQ(Style::allCases(), (QList<Style>{Style::icon, Style::space, Style::activity, Style::spaceActivity}));
    QStringList raw, names, shows;
    for (Style style : Style::allCases()) {
        raw << style.rawValue();
        names << style.displayName();
        shows << QString("%1%2").arg(style.showsSpace() ? "S" : "-", style.showsActivity() ? "A" : "-");
        EXPECT_EQ(Style::fromRawValue(style.rawValue()), style);
    }
    EXPECT_EQ(raw, (QStringList{"icon", "space", "activity", "spaceActivity"}));
    EXPECT_EQ(names, (QStringList{"Icon", "Space", "Activity", "Space and Activity"}));
    EXPECT_EQ(shows, (QStringList{"--", "S-", "-A", "SA"}));
    EXPECT_EQ(Style::fromRawValue("Icon"), std::nullopt);
    EXPECT_EQ(Style::fromRawValue("spaceactivity"), std::nullopt);
}

TEST(MenuBarStyle, ResolvedFollowsTransfersAndTheVolume)
{
    // Transfers shown and one running: activity takes over, space only stays next to it.
    for (bool hasVolume : {false, true}) {
        EXPECT_EQ(Style(Style::icon).resolved(hasVolume, true, true), Style::activity);
        EXPECT_EQ(Style(Style::space).resolved(hasVolume, true, true), Style::activity);
        EXPECT_EQ(Style(Style::activity).resolved(hasVolume, true, true), Style::activity);
    }
    EXPECT_EQ(Style(Style::spaceActivity).resolved(true, true, true), Style::spaceActivity);
    EXPECT_EQ(Style(Style::spaceActivity).resolved(false, true, true), Style::activity);
    // Otherwise the chosen style, less the space figure when there is no volume.
    for (bool duringTransfers : {false, true}) {
        for (bool transferring : {false, true}) {
            if (duringTransfers && transferring)
                continue;
            for (Style style : Style::allCases())
                EXPECT_EQ(style.resolved(true, duringTransfers, transferring), style);
            EXPECT_EQ(Style(Style::icon).resolved(false, duringTransfers, transferring), Style::icon);
            EXPECT_EQ(Style(Style::space).resolved(false, duringTransfers, transferring), Style::icon);
            EXPECT_EQ(Style(Style::activity).resolved(false, duringTransfers, transferring), Style::activity);
            EXPECT_EQ(Style(Style::spaceActivity).resolved(false, duringTransfers, transferring), Style::activity);
        }
    }
}

TEST(MenuBarStyle, ReservedHoldsEveryStyleResolvedCanGive)
{
    EXPECT_EQ(Style(Style::icon).reserved(false), (QList<Style>{Style::icon}));
    EXPECT_EQ(Style(Style::icon).reserved(true), (QList<Style>{Style::icon, Style::activity}));
    EXPECT_EQ(Style(Style::space).reserved(false), (QList<Style>{Style::space, Style::icon}));
    EXPECT_EQ(Style(Style::space).reserved(true), (QList<Style>{Style::space, Style::icon, Style::activity}));
    EXPECT_EQ(Style(Style::activity).reserved(true), (QList<Style>{Style::activity}));
    EXPECT_EQ(Style(Style::spaceActivity).reserved(false), (QList<Style>{Style::spaceActivity, Style::activity}));
    EXPECT_EQ(Style(Style::spaceActivity).reserved(true), (QList<Style>{Style::spaceActivity, Style::activity}));
    for (Style style : Style::allCases())
        for (bool duringTransfers : {false, true})
            for (bool hasVolume : {false, true})
                for (bool transferring : {false, true})
                    EXPECT_TRUE(style.reserved(duringTransfers).contains(style.resolved(hasVolume, duringTransfers, transferring)))
                        << style.rawValue().toStdString() << duringTransfers << hasVolume << transferring;
}

TEST(ByteUnits, CasesTextsAndBases)
{
    EXPECT_EQ(ByteUnits::allCases(), (QList<ByteUnits>{ByteUnits::decimal, ByteUnits::binary}));
    EXPECT_EQ(ByteUnits(ByteUnits::decimal).rawValue(), "decimal");
    EXPECT_EQ(ByteUnits(ByteUnits::binary).rawValue(), "binary");
    EXPECT_EQ(ByteUnits(ByteUnits::decimal).displayName(), "Decimal (GB)");
    EXPECT_EQ(ByteUnits(ByteUnits::binary).displayName(), "Binary (GiB)");
    EXPECT_EQ(ByteUnits::fromRawValue("binary"), ByteUnits::binary);
    EXPECT_EQ(ByteUnits::fromRawValue("Binary"), std::nullopt);
    EXPECT_EQ(ByteUnits(ByteUnits::decimal).base(), 1000.0);
    EXPECT_EQ(ByteUnits(ByteUnits::binary).base(), 1024.0);
}

TEST(LowSpaceThreshold, ParsesOnlyTwoPiecesWithAPositiveInteger)
{
    const QList<std::pair<QString, std::string>> cases{
        {"percent:10", "percent:10"},
        {"gigabytes:50", "gigabytes:50"},
        {"percent:100", "percent:100"},
        {"percent:101", "percent:100"},
        {"percent:250", "percent:100"},
        {"percent:+7", "percent:7"},
        {"percent:007", "percent:7"},
        {"percent:1", "percent:1"},
        {"gigabytes:9223372036854775807", "gigabytes:9223372036854775807"},
        {":percent::10:", "percent:10"},  // empty pieces are dropped
        {"percent:0", "none"},
        {"percent:-5", "none"},
        {"percent:", "none"},
        {"percent:10:5", "none"},
        {"gigabytes:0", "none"},
        {"gigabytes:-3", "none"},
        {"gigabytes:9223372036854775808", "none"},
        {"Percent:10", "none"},
        {"kilobytes:10", "none"},
        {"percent: 10", "none"},
        {"percent:10 ", "none"},
        {"percent:1.5", "none"},
        {"percent:0x10", "none"},
        {"percent:ten", "none"},
        {"10", "none"},
        {"", "none"},
    };
    for (const auto& [stored, expected] : cases)
        EXPECT_EQ(text(LowSpaceThreshold::fromRawValue(stored)), expected) << stored.toStdString();
}

TEST(LowSpaceThreshold, TextsEqualityAndPresets)
{
    EXPECT_EQ(LowSpaceThreshold::percent(10).rawValue(), "percent:10");
    EXPECT_EQ(LowSpaceThreshold::gigabytes(50).rawValue(), "gigabytes:50");
    EXPECT_EQ(LowSpaceThreshold::percent(10).displayName(), "10 %");
    EXPECT_EQ(LowSpaceThreshold::gigabytes(50).displayName(), "50 GB");
    EXPECT_EQ(LowSpaceThreshold::fromRawValue("percent:250"), LowSpaceThreshold::percent(100));
    EXPECT_EQ(qHash(*LowSpaceThreshold::fromRawValue("percent:250")), qHash(LowSpaceThreshold::percent(100)));
    EXPECT_NE(LowSpaceThreshold::percent(10), LowSpaceThreshold::gigabytes(10));
    EXPECT_EQ(LowSpaceThreshold::presets(),
              (QList<LowSpaceThreshold>{LowSpaceThreshold::percent(5), LowSpaceThreshold::percent(10),
                                        LowSpaceThreshold::percent(20)}));
    EXPECT_EQ(LowSpaceThreshold{}, LowSpaceThreshold::percent(10));
}

TEST(LowSpaceThreshold, LowIsStrictlyBelowAndNeedsACapacity)
{
    const auto p10 = LowSpaceThreshold::percent(10);
    EXPECT_FALSE(p10.isLow(Space{1000, 100, 100, false}));
    EXPECT_TRUE(p10.isLow(Space{1000, 99, 99, false}));
    // The available figure counts, not the strict one.
    EXPECT_FALSE(p10.isLow(Space{1000, 100, 0, false}));
    EXPECT_FALSE(p10.isLow(Space{0, 0, 0, false}));
    EXPECT_FALSE(p10.isLow(Space{-1, -5, 0, false}));
    EXPECT_TRUE(LowSpaceThreshold::percent(100).isLow(Space{1000, 999, 999, false}));

    const auto g5 = LowSpaceThreshold::gigabytes(5);
    EXPECT_TRUE(g5.isLow(Space{64'000'000'000, 4'999'999'999, 0, false}));
    EXPECT_FALSE(g5.isLow(Space{64'000'000'000, 5'000'000'000, 0, false}));
    // Decimal gigabytes even on a volume smaller than the threshold.
    EXPECT_TRUE(g5.isLow(Space{1'000'000, 1'000'000, 0, false}));
    // A threshold beyond 64 bits of bytes is above everything rather than wrapping round.
    const auto huge = LowSpaceThreshold::gigabytes(std::numeric_limits<qint64>::max());
    EXPECT_TRUE(huge.isLow(Space{std::numeric_limits<qint64>::max(), std::numeric_limits<qint64>::max() - 1, 0, false}));
    EXPECT_TRUE(LowSpaceThreshold::gigabytes(10'000'000'000).isLow(Space{1'000'000'000'000, 1'000'000'000'000, 0, false}));
}

TEST(LowSpaceThreshold, BytesAndTheReleaseBand)
{
    EXPECT_DOUBLE_EQ(LowSpaceThreshold::percent(10).bytes(1000), 100.0);
    EXPECT_DOUBLE_EQ(LowSpaceThreshold::percent(25).bytes(2'000'000'000'000), 500'000'000'000.0);
    EXPECT_DOUBLE_EQ(LowSpaceThreshold::gigabytes(5).bytes(1000), 5e9);
    const auto p10 = LowSpaceThreshold::percent(10);
    // 1000 × 10 / 100 × 1.1 lies just above 110 in double precision.
    EXPECT_FALSE(p10.isClearOf(Space{1000, 110, 110, false}));
    EXPECT_TRUE(p10.isClearOf(Space{1000, 111, 111, false}));
    EXPECT_TRUE(p10.isClearOf(Space{0, 0, 0, false}));
    EXPECT_FALSE(LowSpaceThreshold::gigabytes(5).isClearOf(Space{100'000'000'000, 5'499'999'999, 0, false}));
    EXPECT_TRUE(LowSpaceThreshold::gigabytes(5).isClearOf(Space{100'000'000'000, 5'500'000'001, 0, false}));
}

TEST(Accent, CasesAndColours)
{
    EXPECT_EQ(Accent::allCases(), (QList<Accent>{Accent::phosphor, Accent::cyan, Accent::magenta, Accent::amber, Accent::system}));
    QStringList raw;
    for (Accent accent : Accent::allCases()) {
        raw << accent.rawValue();
        EXPECT_EQ(Accent::fromRawValue(accent.rawValue()), accent);
    }
    EXPECT_EQ(raw, (QStringList{"phosphor", "cyan", "magenta", "amber", "system"}));
    EXPECT_EQ(Accent::fromRawValue("green"), std::nullopt);

    using C = Accent::Color;
    const C magenta{1.0, 0.25, 0.75};
    const C cyan{0.15, 0.85, 1.0};
    EXPECT_EQ(Accent(Accent::phosphor).color(), (C{0.2, 0.95, 0.45}));
    EXPECT_EQ(Accent(Accent::cyan).color(), cyan);
    EXPECT_EQ(Accent(Accent::magenta).color(), magenta);
    EXPECT_EQ(Accent(Accent::amber).color(), (C{1.0, 0.72, 0.1}));
    EXPECT_EQ(Accent(Accent::system).color(C{0.5, 0.1, 0.9}), (C{0.5, 0.1, 0.9}));
    EXPECT_EQ(Accent(Accent::system).color(), Accent::fallbackSystemColor);
    EXPECT_EQ(Accent(Accent::amber).color(C{0.5, 0.1, 0.9}), (C{1.0, 0.72, 0.1}));
    for (Accent accent : Accent::allCases())
        EXPECT_EQ(accent.writeColor(), accent == Accent::magenta ? cyan : magenta) << accent.rawValue().toStdString();
}
