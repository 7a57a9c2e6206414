#include "Eject/FlushWatch.h"

#include "support/FlushRig.h"
#include "support/ManualClock.h"
#include "support/TestEnvironment.h"

#include <gtest/gtest.h>

using namespace mallowby;
using namespace mallowby::test;
using namespace std::chrono_literals;

// A stick's eject sampled twice a second until its unmount returns, a failed one, then an NFS
// share measured by what it sends to the server and targets without counters that show no progress.
TEST(FlushWatch, SamplesWhileEjectingAndEndsWithTheEject)
{
    constexpr quint64 MB = 1 << 20;  // whole sectors and kilobytes, as the kernel counts
    ManualClock clock;
    FlushRig rig{clock};
    ASSERT_TRUE(rig.isReady()) << rig.tree.error().toStdString();
    int changes = 0;
    QStringList ended;
    QObject::connect(rig.watch, &FlushWatch::flushesChanged, [&] { ++changes; });
    QObject::connect(rig.watch, &FlushWatch::flushEnded, [&](const FlushWatch::Flush& flush, bool ejected) {
        ended << QStringLiteral("%1 %2 %3 left").arg(flush.targetID, ejected ? "ejected" : "failed").arg(flush.estimate.remainingBytes());
    });
    const auto answered = [&](bool expected) {
        rig.release();
        EXPECT_TRUE(TestEnvironment::waitUntil([&] { return rig.ejected->has_value(); }, 2s));
        EXPECT_EQ(std::exchange(*rig.ejected, std::nullopt), expected);
    };

    rig.setPending(400 * MB);
    rig.setWritten(1000 * MB);
    EXPECT_EQ(FlushWatch::of(*rig.ejector), rig.watch);
    rig.eject(rig.stick);
    ASSERT_NE(rig.watch->estimate("12"), nullptr);
    EXPECT_EQ(std::pair(rig.watch->flushes().value("12").name, rig.watch->estimate("12")->startBytes()), std::pair(QString("Stick"), 400 * MB));
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
    answered(true);
    EXPECT_TRUE(rig.watch->flushes().isEmpty());
    EXPECT_EQ(ended, QStringList{"12 ejected 0 left"});
    EXPECT_EQ(clock.pendingTimers(), 0u) << "sampling once nothing ejects";

    rig.disks->unmountAnswer = Dissent{Dissent::notPermitted, QStringLiteral("policy")};
    rig.eject(rig.stick);
    ASSERT_TRUE(rig.watch->estimate("12"));
    answered(false);
    EXPECT_EQ(ended.last(), "12 failed 0 left");
    EXPECT_FALSE(rig.watch->estimate("12"));
    rig.ejector->dismiss("12");
    rig.disks->unmountAnswer.reset();

    // A FUSE share counts nothing, and a drive that vanished cannot be opened: no rate, no time.
    EjectTarget gone = rig.stick;
    gone.id = QStringLiteral("99");
    gone.members = {BlockDevice{99, QStringLiteral("sdz")}};
    rig.setPending(400 * MB);
    for (const EjectTarget& target : {FlushRig::share("/mnt/nfs"), FlushRig::share("/mnt/fuse"), gone})
        rig.eject(target);
    for (int i = 1; i <= 4; ++i) {
        rig.setPending((400 - 20 * i) * MB);
        rig.setShareWritten(20 * i * MB);
        clock.advance(500ms);
    }
    QStringList seen;
    for (const FlushWatch::Flush& flush : rig.watch->flushes())
        seen << QStringLiteral("%1 %2 MB at %3 MB/s%4")
                    .arg(flush.targetID)
                    .arg(flush.estimate.remainingBytes() / MB)
                    .arg(flush.estimate.rate() / MB)
                    .arg(flush.estimate.showsProgress() ? ", shown" : "");
    seen.sort();
    EXPECT_EQ(seen, (QStringList{"/mnt/fuse 320 MB at 0 MB/s", "/mnt/nfs 320 MB at 40 MB/s, shown", "99 320 MB at 0 MB/s"}));
    rig.release();
    EXPECT_TRUE(TestEnvironment::waitUntil([&] { return rig.ejector->statuses().isEmpty(); }, 2s));
    EXPECT_EQ(ended.size(), 5);
}
