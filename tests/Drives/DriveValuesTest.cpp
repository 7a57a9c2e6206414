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

const Clock::TimePoint t0{std::chrono::hours(1)};

Clock::TimePoint at(Clock::Duration offset)
{
    return t0 + offset;
}

} // namespace

TEST(IOCounters, SumsWrapAndDifferencesSaturate)
{
    EXPECT_EQ(IOCounters::delta({5, 10}, {7, 4}), (IOCounters{0, 6}));
    EXPECT_EQ(IOCounters::delta({7, 4}, {7, 4}), (IOCounters{0, 0}));
    const quint64 max = std::numeric_limits<quint64>::max();
    EXPECT_EQ(IOCounters::delta({max, 1}, {0, max}), (IOCounters{max, 0}));
    EXPECT_EQ((IOCounters{max, 3} + IOCounters{2, 4}), (IOCounters{1, 7}));
}

TEST(BlockDevice, OrderedByDriverIDAloneButEqualOnlyWithTheSameName)
{
    const BlockDevice a{3, "sdz"}, b{7, "sda"}, sameID{3, "sdy"};
    EXPECT_LT(a, b);
    EXPECT_GT(b, a);
    EXPECT_NE(a, sameID);
    EXPECT_FALSE(a < sameID);
    EXPECT_FALSE(sameID < a);
    EXPECT_EQ((QSet<BlockDevice>{a, sameID, a}).size(), 2);
}

TEST(RingBuffer, KeepsTheNewestValuesInTimeOrder)
{
    RingBuffer<double> buffer(3, 0.0);
    EXPECT_EQ(buffer.values(), (QList<double>{0, 0, 0}));
    for (double v : {1, 2, 3, 4})
        buffer.push(v);
    EXPECT_EQ(buffer.values(), (QList<double>{2, 3, 4}));
    EXPECT_EQ(buffer.recent(2), (QList<double>{3, 4}));
    EXPECT_EQ(buffer.recent(10), (QList<double>{2, 3, 4}));
    EXPECT_EQ(buffer.recent(0), QList<double>{});
    EXPECT_EQ(buffer.recent(-5), QList<double>{});
    EXPECT_EQ(buffer.latest(), 4);
    EXPECT_EQ(buffer.head(), 1);

    RingBuffer<double> degenerate(0, 9.0);
    EXPECT_EQ(degenerate.capacity(), 1);
    degenerate.push(5);
    EXPECT_EQ(degenerate.values(), QList<double>{5});
}

TEST(TransferDetector, ActivatesAfterThreeSecondsOfHighRate)
{
    TransferDetector detector;
    EXPECT_TRUE(detector.update(at(0s), 2e6));  // pending appears
    EXPECT_TRUE(detector.isPending());
    EXPECT_FALSE(detector.update(at(1s), 2e6));
    EXPECT_FALSE(detector.update(at(2s), 2e6));
    EXPECT_TRUE(detector.update(at(3s), 2e6));
    EXPECT_TRUE(detector.isActive);
    EXPECT_FALSE(detector.isPending());

    // Exactly the threshold is low; one low sample restarts the count.
    TransferDetector other;
    EXPECT_FALSE(other.update(at(0s), 1e6));
    EXPECT_TRUE(other.update(at(1s), 1e6 + 1));
    EXPECT_TRUE(other.update(at(2s), 1e6));  // pending went away
    EXPECT_FALSE(other.isActive);
    EXPECT_FALSE(other.isPending());
    EXPECT_TRUE(other.update(at(3s), 5e6));
    EXPECT_FALSE(other.update(at(5s), 5e6));
    EXPECT_FALSE(other.isActive);
    EXPECT_TRUE(other.update(at(6s), 5e6));
}

TEST(TransferDetector, DeactivatesAfterTenSecondsOfLowRate)
{
    TransferDetector detector;
    detector.update(at(0s), 2e6);
    detector.update(at(3s), 2e6);
    ASSERT_TRUE(detector.isActive);
    EXPECT_FALSE(detector.update(at(10s), 0));
    EXPECT_FALSE(detector.update(at(19s), 0));
    EXPECT_FALSE(detector.update(at(19500ms), 2e6));  // one high sample restarts the quiet count
    EXPECT_FALSE(detector.update(at(20s), 0));
    EXPECT_FALSE(detector.update(at(29s), 0));
    EXPECT_TRUE(detector.isActive);
    EXPECT_TRUE(detector.update(at(30s), 0));
    EXPECT_FALSE(detector.isActive);
    EXPECT_EQ(detector.belowSince, std::nullopt);
}

TEST(WriteSession, ASmallWriteEndsSilently)
{
    WriteSession session;
    session.update(999'999'999, at(0s), 2e6);
    EXPECT_EQ(session.update(0, at(5s), 0), std::nullopt);
    EXPECT_EQ(session.update(0, at(15s), 0), std::nullopt);
    EXPECT_EQ(session, WriteSession{});

    // A high sample inside the quiet run starts the quiet count again.
    session.update(600'000'000, at(20s), 2e6);
    session.update(0, at(25s), 0);
    session.update(600'000'000, at(30s), 2e6);
    EXPECT_EQ(session.update(0, at(35s), 0), std::nullopt);
    EXPECT_EQ(session.update(0, at(44s), 0), std::nullopt);
    const auto finished = session.update(0, at(45s), 0);
    ASSERT_TRUE(finished.has_value());
    EXPECT_EQ(finished->bytes, 1'200'000'000u);
    EXPECT_EQ(finished->duration, 15s);
}
