#include "Settings/Accent.h"
#include "Settings/LowSpaceThreshold.h"
#include "Settings/MenuBarStyle.h"

#include "support/Printers.h"

#include <gtest/gtest.h>

#include <limits>

using namespace mallowby;

TEST(SettingValues, MenuBarStyleResolvedAndReserved)
{
    using S = MenuBarStyle;
    // resolved(hasVolume, duringTransfers, transferring) for each style: activity takes over a
    // running transfer when asked; without a volume the space figure goes.
    const struct {
        bool hasVolume, duringTransfers, transferring;
        QList<S> want;  // for icon, space, activity, spaceActivity
    } rows[] = {
        {true, true, true, {S::activity, S::activity, S::activity, S::spaceActivity}},
        {false, true, true, {S::activity, S::activity, S::activity, S::activity}},
        {true, false, true, {S::icon, S::space, S::activity, S::spaceActivity}},
        {false, false, true, {S::icon, S::icon, S::activity, S::activity}},
        {false, true, false, {S::icon, S::icon, S::activity, S::activity}},
    };
    for (const auto& row : rows)
        for (int i = 0; i < 4; ++i)
            EXPECT_EQ(S::allCases()[i].resolved(row.hasVolume, row.duringTransfers, row.transferring), row.want[i])
                << i << row.hasVolume << row.duringTransfers << row.transferring;
    EXPECT_EQ(S(S::space).reserved(true), (QList<S>{S::space, S::icon, S::activity}));
    EXPECT_EQ(S(S::spaceActivity).reserved(false), (QList<S>{S::spaceActivity, S::activity}));
    for (S style : S::allCases())
        for (int bits = 0; bits < 8; ++bits)
            EXPECT_TRUE(style.reserved(bits & 1).contains(style.resolved(bits & 2, bits & 1, bits & 4)))
                << style.rawValue().toStdString() << bits;
}

TEST(SettingValues, LowSpaceThresholdParsing)
{
    const QList<std::pair<QString, std::string>> cases{
        {"percent:10", "percent:10"},   {"gigabytes:50", "gigabytes:50"}, {"percent:101", "percent:100"},
        {"percent:+7", "percent:7"},    {"percent:007", "percent:7"},     {":percent::10:", "percent:10"},
        {"gigabytes:9223372036854775807", "gigabytes:9223372036854775807"},
        {"percent:0", "none"},          {"percent:-5", "none"},           {"percent:", "none"},
        {"percent:10:5", "none"},       {"gigabytes:0", "none"},          {"gigabytes:9223372036854775808", "none"},
        {"Percent:10", "none"},         {"kilobytes:10", "none"},         {"percent: 10", "none"},
        {"percent:10 ", "none"},        {"percent:1.5", "none"},          {"percent:0x10", "none"},
        {"10", "none"},                 {"", "none"},
    };
    for (const auto& [stored, expected] : cases) {
        const auto parsed = LowSpaceThreshold::fromRawValue(stored);
        EXPECT_EQ(parsed ? parsed->rawValue().toStdString() : "none", expected) << stored.toStdString();
    }
    EXPECT_EQ(qHash(*LowSpaceThreshold::fromRawValue("percent:250")), qHash(LowSpaceThreshold::percent(100)));
    EXPECT_NE(LowSpaceThreshold::percent(10), LowSpaceThreshold::gigabytes(10));
    EXPECT_EQ(LowSpaceThreshold{}, LowSpaceThreshold::percent(10));
}

TEST(SettingValues, LowSpaceThresholdLowAndClear)
{
    constexpr qint64 max = std::numeric_limits<qint64>::max();
    const auto p10 = LowSpaceThreshold::percent(10), g5 = LowSpaceThreshold::gigabytes(5);
    const struct { const char* name; LowSpaceThreshold threshold; qint64 total, available; bool low, clear; } rows[] = {
        {"10 % at 10 %", p10, 1000, 100, false, false},
        {"10 % below", p10, 1000, 99, true, false},
        {"10 % in the band", p10, 1000, 110, false, false},  // 110.000…01 in double precision
        {"10 % past the band", p10, 1000, 111, false, true},
        {"no capacity", p10, 0, 0, false, true},
        {"negative figures", p10, -1, -5, false, true},
        {"100 %", LowSpaceThreshold::percent(100), 1000, 999, true, false},
        {"5 GB below", g5, 64'000'000'000, 4'999'999'999, true, false},
        {"5 GB at", g5, 64'000'000'000, 5'000'000'000, false, false},
        {"5 GB band", g5, 100'000'000'000, 5'499'999'999, false, false},
        {"5 GB clear", g5, 100'000'000'000, 5'500'000'001, false, true},
        {"5 GB on a smaller volume", g5, 1'000'000, 1'000'000, true, false},
        {"past 64 bits", LowSpaceThreshold::gigabytes(max), max, max - 1, true, false},
        {"10^10 GB", LowSpaceThreshold::gigabytes(10'000'000'000), 1'000'000'000'000, 1'000'000'000'000, true, false},
    };
    for (const auto& row : rows) {
        // Only the available figure counts, not the strict one.
        const Space space{.total = row.total, .available = row.available, .availableStrict = 0};
        EXPECT_EQ(row.threshold.isLow(space), row.low) << row.name;
        EXPECT_EQ(row.threshold.isClearOf(space), row.clear) << row.name;
    }
    EXPECT_DOUBLE_EQ(LowSpaceThreshold::percent(25).bytes(2'000'000'000'000), 500'000'000'000.0);
    EXPECT_DOUBLE_EQ(g5.bytes(1000), 5e9);
}

TEST(SettingValues, RawValuesRoundTripAndAccentColours)
{
    for (MenuBarStyle style : MenuBarStyle::allCases())
        EXPECT_EQ(MenuBarStyle::fromRawValue(style.rawValue()), style);
    for (Accent accent : Accent::allCases())
        EXPECT_EQ(Accent::fromRawValue(accent.rawValue()), accent);
    using C = Accent::Color;
    const C chosen{0.5, 0.1, 0.9};
    EXPECT_EQ(Accent(Accent::system).color(chosen), chosen);
    EXPECT_EQ(Accent(Accent::system).color(), Accent::fallbackSystemColor);
    EXPECT_EQ(Accent(Accent::amber).color(chosen), Accent(Accent::amber).color());
    // The write trace contrasts with every accent, magenta's own included.
    for (Accent accent : Accent::allCases())
        EXPECT_EQ(accent.writeColor(), accent == Accent::magenta ? Accent(Accent::cyan).color() : Accent(Accent::magenta).color())
            << accent.rawValue().toStdString();
}
