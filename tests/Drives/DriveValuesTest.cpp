#include "Drives/BlockDevice.h"
#include "Drives/IOCounters.h"
#include "Drives/RingBuffer.h"
#include "Drives/TransferDetector.h"
#include "Drives/WriteSession.h"

#include <QSet>

#include <gtest/gtest.h>

using namespace mallowby;
using namespace std::chrono_literals;

namespace {

Clock::TimePoint at(std::chrono::milliseconds offset)
{
    return Clock::TimePoint{std::chrono::hours(1)} + offset;
}

} // namespace

TEST(DriveValues, CountersDevicesAndRingBuffers)
{
    const quint64 max = std::numeric_limits<quint64>::max();
    EXPECT_EQ(IOCounters::delta({5, 10}, {7, 4}), (IOCounters{0, 6}));  // differences saturate, sums wrap
    EXPECT_EQ(IOCounters::delta({max, 1}, {0, max}), (IOCounters{max, 0}));
    EXPECT_EQ((IOCounters{max, 3} + IOCounters{2, 4}), (IOCounters{1, 7}));

    // Ordered by driver ID alone, but equal only with the same name.
    const BlockDevice a{3, "sdz"}, b{7, "sda"}, sameID{3, "sdy"};
    EXPECT_TRUE(a < b && !(b < a) && !(a < sameID) && !(sameID < a) && a != sameID);
    EXPECT_EQ((QSet<BlockDevice>{a, sameID, a}).size(), 2);

    RingBuffer<double> buffer(3, 0.0);
    EXPECT_EQ(buffer.values(), (QList<double>{0, 0, 0}));
    for (double v : {1, 2, 3, 4})
        buffer.push(v);
    EXPECT_EQ(buffer.values(), (QList<double>{2, 3, 4}));
    EXPECT_EQ(QList<QList<double>>({buffer.recent(2), buffer.recent(10), buffer.recent(0), buffer.recent(-5)}),
              QList<QList<double>>({{3, 4}, {2, 3, 4}, {}, {}}));
    EXPECT_EQ(std::make_pair(buffer.latest(), buffer.head()), std::make_pair(4.0, qsizetype(1)));
    RingBuffer<double> degenerate(0, 9.0);
    degenerate.push(5);
    EXPECT_EQ(std::make_pair(degenerate.capacity(), degenerate.values()), std::make_pair(qsizetype(1), QList<double>{5}));
}

TEST(DriveValues, TransfersStartAfterThreeSecondsHighAndEndAfterTenSecondsLow)
{
    // Each sample: time (ms), rate, whether update() reports a change, active and pending after it.
    // Exactly the threshold is low; one low sample restarts the count, one high one the quiet count.
    const struct { int ms; double rate; bool changed, active, pending; } steps[] = {
        {0, 1e6, false, false, false},    {1000, 1e6 + 1, true, false, true}, {2000, 1e6, true, false, false},
        {3000, 5e6, true, false, true},   {5000, 5e6, false, false, true},    {6000, 5e6, true, true, false},
        {13000, 0, false, true, false},   {22000, 0, false, true, false},     {22500, 2e6, false, true, false},
        {23000, 0, false, true, false},   {32000, 0, false, true, false},     {33000, 0, true, false, false},
    };
    TransferDetector detector;
    for (const auto& step : steps) {
        EXPECT_EQ(detector.update(at(std::chrono::milliseconds(step.ms)), step.rate), step.changed) << step.ms;
        EXPECT_EQ(std::make_pair(detector.isActive, detector.isPending()), std::make_pair(step.active, step.pending)) << step.ms;
    }
    EXPECT_EQ(detector.belowSince, std::nullopt);
}

TEST(DriveValues, AWriteSessionEndsAfterTenQuietSecondsAndOnlyALargeOneIsReported)
{
    // Each sample: time (s), bytes written since the last one, rate; a finished write's bytes and seconds.
    const struct { int s; quint64 written; double rate; std::optional<FinishedTransfer> finished; } steps[] = {
        {0, 999'999'999, 2e6, {}}, {5, 0, 0, {}}, {15, 0, 0, {}},  // small: ends silently
        {20, 600'000'000, 2e6, {}}, {25, 0, 0, {}}, {30, 600'000'000, 2e6, {}}, {35, 0, 0, {}}, {44, 0, 0, {}},
        {45, 0, 0, FinishedTransfer{1'200'000'000, 15s}},
    };
    WriteSession session;
    for (const auto& step : steps) {
        EXPECT_EQ(session.update(step.written, at(std::chrono::seconds(step.s)), step.rate), step.finished) << step.s;
        if (step.s == 15) {
            EXPECT_EQ(session, WriteSession{});
        }
    }
}
