#include "Eject/FlushEstimate.h"
#include "Eject/FlushWatch.h"

#include "support/FlushRig.h"
#include "support/ManualClock.h"
#include "support/TestEnvironment.h"

#include <gtest/gtest.h>

using namespace mallowby;
using namespace mallowby::test;
using namespace std::chrono_literals;

namespace {

constexpr quint64 MB = 1'000'000;
using Sample = std::pair<std::optional<quint64>, std::optional<quint64>>;  // pending, written
const Clock::TimePoint start(1h);

// Samples half a second apart from `start`, in MB (-1: unreadable) or in bytes.
FlushEstimate sampled(const std::vector<Sample>& samples)
{
    FlushEstimate estimate;
    for (size_t i = 0; i < samples.size(); ++i)
        estimate.add({start + i * 500ms, samples[i].first, samples[i].second});
    return estimate;
}
std::vector<Sample> mb(std::initializer_list<std::pair<int, int>> list)
{
    std::vector<Sample> samples;
    const auto bytes = [](int n) { return n < 0 ? std::nullopt : std::optional<quint64>(n * MB); };
    for (const auto& [pending, written] : list)
        samples.push_back({bytes(pending), bytes(written)});
    return samples;
}

} // namespace

TEST(FlushEstimate, RemainingRateAndTimeLeft)
{
    struct Row {
        const char* name;
        std::vector<Sample> samples;
        quint64 remaining;
        double rate;
        std::optional<qint64> secondsLeft;
    };
    const std::vector<Row> rows{
        {"writing begins: that interval gives no rate", mb({{400, 1000}, {380, 1010}}), 380 * MB, 0, std::nullopt},
        {"20 MB in half a second", mb({{400, 1000}, {380, 1010}, {360, 1030}}), 360 * MB, 40.0 * MB, 9},
        {"faster: the rate spans both intervals", mb({{400, 1000}, {380, 1010}, {360, 1030}, {330, 1060}}), 330 * MB, 50.0 * MB, 7},
        {"stalled two seconds: no time", mb({{300, 0}, {290, 10}, {280, 20}, {280, 20}, {280, 20}, {280, 20}, {280, 20}}), 280 * MB, 0, std::nullopt},
        {"unreadable counter starts over", mb({{300, 0}, {290, 10}, {285, 20}, {280, -1}}), 280 * MB, 0, std::nullopt},
        {"one reading since", mb({{300, 0}, {290, 10}, {285, 20}, {280, -1}, {270, 500}}), 270 * MB, 0, std::nullopt},
        {"two readings since", mb({{300, 0}, {290, 10}, {285, 20}, {280, -1}, {270, 500}, {260, 510}}), 260 * MB, 20.0 * MB, 13},
        {"re-attached device counts from zero", mb({{270, 500}, {260, 510}, {250, 5}}), 250 * MB, 0, std::nullopt},
        {"and then at its own rate", mb({{270, 500}, {260, 510}, {250, 5}, {240, 10}}), 240 * MB, 10.0 * MB, 24},
        {"unreadable meminfo keeps the amount", mb({{250, 5}, {240, 10}, {-1, 15}}), 240 * MB, 10.0 * MB, 24},
        {"another program writes: the rise shows", mb({{100, 0}, {90, 10}, {80, 20}, {180, 40}}), 180 * MB, 30.0 * MB, 6},
        {"just over 10 MB is shown", {{10 * MB + 1, 0}, {10 * MB + 1, MB}, {10 * MB + 1, 2 * MB}}, 10 * MB + 1, 2.0 * MB, 6},
        {"10 MB is not worth a time", {{10 * MB + 1, 0}, {10 * MB + 1, MB}, {10 * MB + 1, 2 * MB}, {10 * MB, 3 * MB}}, 10 * MB, 2.0 * MB, std::nullopt},
    };
    for (const Row& row : rows) {
        const FlushEstimate estimate = sampled(row.samples);
        EXPECT_EQ(std::tuple(estimate.remainingBytes(), estimate.secondsLeft(), estimate.showsProgress()),
                  std::tuple(row.remaining, row.secondsLeft, row.secondsLeft.has_value())) << row.name;
        EXPECT_DOUBLE_EQ(estimate.rate(), row.rate) << row.name;
    }
}

TEST(FlushEstimate, TheEndAndTheTexts)
{
    FlushEstimate estimate = sampled(mb({{400, 1000}, {380, 1010}, {360, 1030}}));
    const FlushEstimate risen = sampled(mb({{100, 0}, {90, 10}, {80, 20}, {180, 40}}));
    EXPECT_EQ(std::tuple(estimate.writingSince(), sampled(mb({{400, 1000}})).writingSince(), risen.fractionDone(), risen.startBytes()),
              std::tuple(std::optional(start + 500ms), std::optional<Clock::TimePoint>(), 0.0, 100 * MB)) << "fraction never negative";
    EXPECT_DOUBLE_EQ(estimate.fractionDone(), 0.1);
    EXPECT_EQ(estimate.progressText(ByteUnits::decimal), "writing 360 MB, about 9 s");
    EXPECT_EQ(sampled(mb({{400, 1000}, {380, 1010}, {360, 1030}, {330, 1060}})).progressText(ByteUnits::binary), "writing 315 MiB, about 7 s");
    estimate.finish();
    const FlushEstimate ended = estimate;
    EXPECT_EQ(std::tuple(ended.remainingBytes(), ended.rate(), ended.fractionDone(), ended.isFinished(), ended.showsProgress()),
              std::tuple(0u, 0.0, 1.0, true, false));
    estimate.add({start + 10s, 500 * MB, 2000 * MB});
    EXPECT_EQ(estimate, ended);

    for (const auto& [seconds, text] : std::vector<std::pair<qint64, const char*>>{
             {0, "about 1 s"}, {59, "about 59 s"}, {60, "about 1 min"}, {61, "about 2 min"}, {3600, "about 60 min"}})
        EXPECT_EQ(FlushEstimate::timeText(seconds), text);
}

// A stick's eject sampled twice a second, a failed one, then shares and a target without counters.
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

    rig.disks->answers["sdb"] = Dissent{Dissent::notPermitted, QStringLiteral("policy")};
    rig.eject(rig.stick);
    ASSERT_TRUE(rig.watch->estimate("12"));
    answered(false);
    EXPECT_EQ(ended.last(), "12 failed 0 left");
    EXPECT_FALSE(rig.watch->estimate("12"));
    rig.ejector->dismiss("12");
    rig.disks->answers.clear();

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
