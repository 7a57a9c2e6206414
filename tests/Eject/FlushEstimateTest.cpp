#include "Eject/FlushEstimate.h"

#include <gtest/gtest.h>

using namespace mallowby;
using namespace std::chrono_literals;

namespace {

constexpr quint64 MB = 1'000'000;

// Samples half a second apart, from a fixed start.
class Script {
public:
    FlushEstimate estimate;

    void sample(std::optional<quint64> pending, std::optional<quint64> written)
    {
        estimate.add({m_time, pending, written});
        m_time += 500ms;
    }
    Clock::TimePoint start() const { return Clock::TimePoint(1h); }

private:
    Clock::TimePoint m_time = start();
};

} // namespace

TEST(FlushEstimate, FallingAmountsGiveTheDrivesRateTheTimeLeftAndTheShareDone)
{
    Script s;
    s.sample(400 * MB, 1000 * MB);
    EXPECT_EQ(s.estimate.remainingBytes(), 400 * MB);
    EXPECT_EQ(s.estimate.rate(), 0);
    EXPECT_FALSE(s.estimate.showsProgress());
    EXPECT_FALSE(s.estimate.writingSince());

    // Writing begins at some moment of this interval, so it gives no rate.
    s.sample(380 * MB, 1010 * MB);
    EXPECT_EQ(s.estimate.writingSince(), s.start() + 500ms);
    EXPECT_EQ(s.estimate.rate(), 0);
    EXPECT_FALSE(s.estimate.showsProgress());

    s.sample(360 * MB, 1030 * MB);  // 20 MB in half a second
    EXPECT_DOUBLE_EQ(s.estimate.rate(), 40.0 * MB);
    EXPECT_EQ(s.estimate.secondsLeft(), 9);
    EXPECT_DOUBLE_EQ(s.estimate.fractionDone(), 0.1);
    EXPECT_EQ(s.estimate.progressText(ByteUnits::decimal), "writing 360 MB, about 9 s");

    s.sample(330 * MB, 1060 * MB);  // faster now: the rate spans both intervals
    EXPECT_DOUBLE_EQ(s.estimate.rate(), 50.0 * MB);
    EXPECT_EQ(s.estimate.secondsLeft(), 7);  // 6.6 s, rounded up
    EXPECT_EQ(s.estimate.startBytes(), 400 * MB);
    EXPECT_EQ(s.estimate.progressText(ByteUnits::binary), "writing 315 MiB, about 7 s");
}

TEST(FlushEstimate, TheRateCoversOnlyTheLastTwoSecondsSoAStalledDriveShowsNoTime)
{
    Script s;
    s.sample(300 * MB, 0);
    s.sample(290 * MB, 10 * MB);
    s.sample(280 * MB, 20 * MB);
    for (int i = 0; i < 3; ++i)
        s.sample(280 * MB, 20 * MB);
    // Still inside the window: the last writes keep the rate up.
    EXPECT_GT(s.estimate.rate(), 0);
    s.sample(280 * MB, 20 * MB);
    // Two seconds of nothing: the drive stalls; the amount stays but no time is given.
    EXPECT_EQ(s.estimate.rate(), 0);
    EXPECT_EQ(s.estimate.remainingBytes(), 280 * MB);
    EXPECT_FALSE(s.estimate.showsProgress());
    EXPECT_FALSE(s.estimate.secondsLeft());
    EXPECT_EQ(s.estimate.progressText(ByteUnits::decimal), "");
    // It was writing once; that stays known.
    EXPECT_EQ(s.estimate.writingSince(), s.start() + 500ms);

    s.sample(270 * MB, 30 * MB);
    EXPECT_TRUE(s.estimate.showsProgress());
}

TEST(FlushEstimate, UnreadableOrBackwardCountersStartTheRateOver)
{
    Script s;
    s.sample(300 * MB, 0);
    s.sample(290 * MB, 10 * MB);
    s.sample(285 * MB, 20 * MB);
    EXPECT_DOUBLE_EQ(s.estimate.rate(), 20.0 * MB);
    s.sample(280 * MB, std::nullopt);
    EXPECT_EQ(s.estimate.rate(), 0);
    s.sample(270 * MB, 500 * MB);
    EXPECT_EQ(s.estimate.rate(), 0);  // one reading since
    s.sample(260 * MB, 510 * MB);
    EXPECT_DOUBLE_EQ(s.estimate.rate(), 20.0 * MB);
    // A re-attached device counts from zero: no huge or negative rate.
    s.sample(250 * MB, 5 * MB);
    EXPECT_EQ(s.estimate.rate(), 0);
    s.sample(240 * MB, 10 * MB);
    EXPECT_DOUBLE_EQ(s.estimate.rate(), 10.0 * MB);
    // A meminfo that cannot be read keeps the last amount.
    s.sample(std::nullopt, 15 * MB);
    EXPECT_EQ(s.estimate.remainingBytes(), 240 * MB);
}

TEST(FlushEstimate, AFigureRisingWhileAnotherProgramWritesShowsTheRiseButNoNegativeProgress)
{
    Script s;
    s.sample(100 * MB, 0);
    s.sample(90 * MB, 10 * MB);
    s.sample(80 * MB, 20 * MB);
    EXPECT_DOUBLE_EQ(s.estimate.fractionDone(), 0.2);
    s.sample(180 * MB, 40 * MB);  // something else dirties 110 MB
    EXPECT_EQ(s.estimate.remainingBytes(), 180 * MB);
    EXPECT_EQ(s.estimate.fractionDone(), 0);
    EXPECT_EQ(s.estimate.secondsLeft(), 6);  // 180 MB at 30 MB/s
    EXPECT_EQ(s.estimate.startBytes(), 100 * MB);
}

TEST(FlushEstimate, TenMegabytesOrLessIsNotWorthShowing)
{
    Script s;
    s.sample(10 * MB + 1, 0);
    s.sample(10 * MB + 1, 1 * MB);
    s.sample(10 * MB + 1, 2 * MB);
    EXPECT_TRUE(s.estimate.showsProgress());
    EXPECT_EQ(s.estimate.secondsLeft(), 6);
    s.sample(10 * MB, 3 * MB);
    EXPECT_FALSE(s.estimate.showsProgress());
    EXPECT_FALSE(s.estimate.secondsLeft());
    EXPECT_GT(s.estimate.rate(), 0);
}

TEST(FlushEstimate, TheEndLeavesNothingAndLaterSamplesChangeNothing)
{
    Script s;
    s.sample(400 * MB, 0);
    s.sample(300 * MB, 100 * MB);
    s.estimate.finish();
    const FlushEstimate ended = s.estimate;
    EXPECT_EQ(ended.remainingBytes(), 0u);
    EXPECT_EQ(ended.rate(), 0);
    EXPECT_EQ(ended.fractionDone(), 1);
    EXPECT_TRUE(ended.isFinished());
    EXPECT_FALSE(ended.showsProgress());
    s.sample(500 * MB, 200 * MB);
    EXPECT_EQ(s.estimate, ended);
}

TEST(FlushEstimate, TimeTexts)
{
    EXPECT_EQ(FlushEstimate::timeText(0), "about 1 s");
    EXPECT_EQ(FlushEstimate::timeText(59), "about 59 s");
    EXPECT_EQ(FlushEstimate::timeText(60), "about 1 min");
    EXPECT_EQ(FlushEstimate::timeText(61), "about 2 min");
    EXPECT_EQ(FlushEstimate::timeText(3600), "about 60 min");
}
