#include "Eject/FlushWatch.h"

#include "support/FlushRig.h"
#include "support/ManualClock.h"
#include "support/TestEnvironment.h"

#include <gtest/gtest.h>

using namespace mallowby;
using namespace mallowby::test;
using namespace std::chrono_literals;

namespace {

// Whole sectors and whole kilobytes, as the kernel counts them.
constexpr quint64 MB = 1 << 20;

class FlushWatchTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_TRUE(rig.isReady()) << rig.tree.error().toStdString();
        QObject::connect(rig.watch, &FlushWatch::flushesChanged, [this] { ++changes; });
        QObject::connect(rig.watch, &FlushWatch::flushEnded,
                         [this](const FlushWatch::Flush& flush, bool ejected) { ended.append({flush, ejected}); });
    }

    bool settled() { return TestEnvironment::waitUntil([&] { return rig.ejected->has_value(); }, 2s); }

    ManualClock clock;
    FlushRig rig{clock};
    int changes = 0;
    QList<std::pair<FlushWatch::Flush, bool>> ended;
};

} // namespace

TEST_F(FlushWatchTest, SamplesTwiceASecondWhileEjectingAndEndsWithNothingLeftWhenTheUnmountReturns)
{
    rig.setPending(400 * MB);
    rig.setWritten(1000 * MB);
    EXPECT_EQ(FlushWatch::of(*rig.ejector), rig.watch);
    rig.eject(rig.stick);
    const FlushEstimate* estimate = rig.watch->estimate("12");
    ASSERT_NE(estimate, nullptr);
    EXPECT_EQ(rig.watch->flushes().value("12").name, "Stick");
    EXPECT_EQ(estimate->startBytes(), 400 * MB);

    // The drive writes 20 MB every half second and the cache shrinks with it.
    for (int i = 1; i <= 4; ++i) {
        rig.setPending((400 - 20 * i) * MB);
        rig.setWritten((1000 + 20 * i) * MB);
        const int before = changes;
        clock.advance(499ms);
        EXPECT_EQ(changes, before) << "sampled early, step " << i;
        clock.advance(1ms);
        EXPECT_EQ(changes, before + 1) << "step " << i;
    }
    EXPECT_EQ(rig.watch->estimate("12")->secondsLeft(), 8);

    rig.release();
    ASSERT_TRUE(settled());
    EXPECT_EQ(**rig.ejected, true);
    EXPECT_TRUE(rig.watch->flushes().isEmpty());
    ASSERT_EQ(ended.size(), 1);
    EXPECT_TRUE(ended[0].second);
    EXPECT_EQ(ended[0].first.targetID, "12");
    EXPECT_TRUE(ended[0].first.estimate.isFinished());
    EXPECT_EQ(ended[0].first.estimate.remainingBytes(), 0u);
    // No sampling once nothing ejects.
    EXPECT_EQ(clock.pendingTimers(), 0u);
    const int after = changes;
    clock.advance(2s);
    EXPECT_EQ(changes, after);
}

TEST_F(FlushWatchTest, AFailedEjectEndsItsFlushAsNotEjected)
{
    rig.disks->unmountAnswer = Dissent{Dissent::notPermitted, QStringLiteral("policy")};
    rig.eject(rig.stick);
    ASSERT_TRUE(rig.watch->estimate("12"));
    rig.release();
    ASSERT_TRUE(settled());
    EXPECT_EQ(**rig.ejected, false);
    ASSERT_EQ(ended.size(), 1);
    EXPECT_FALSE(ended[0].second);
    EXPECT_FALSE(rig.watch->estimate("12"));
}

TEST_F(FlushWatchTest, AnNfsShareIsMeasuredByWhatItSendsToTheServerATargetWithoutCountersNeverShowsProgress)
{
    // A FUSE share counts nothing, and a drive that vanished cannot be opened: no rate, no time.
    EjectTarget gone = rig.stick;
    gone.id = QStringLiteral("99");
    gone.members = {BlockDevice{99, QStringLiteral("sdz")}};
    rig.setPending(400 * MB);
    rig.eject(FlushRig::share("/mnt/nfs"));
    rig.eject(FlushRig::share("/mnt/fuse"));
    rig.eject(gone);
    for (int i = 1; i <= 4; ++i) {
        rig.setPending((400 - 20 * i) * MB);
        rig.setShareWritten(20 * i * MB);
        clock.advance(500ms);
    }
    ASSERT_EQ(rig.watch->flushes().size(), 3);
    for (const FlushWatch::Flush& flush : rig.watch->flushes()) {
        EXPECT_EQ(flush.estimate.remainingBytes(), 320 * MB) << flush.targetID.toStdString();
        const bool measured = flush.targetID == "/mnt/nfs";
        EXPECT_EQ(flush.estimate.rate(), measured ? 40.0 * MB : 0) << flush.targetID.toStdString();
        EXPECT_EQ(flush.estimate.showsProgress(), measured) << flush.targetID.toStdString();
    }
    rig.release();
    EXPECT_TRUE(TestEnvironment::waitUntil([&] { return rig.ejector->statuses().isEmpty(); }, 2s));
    EXPECT_EQ(ended.size(), 3);
}
