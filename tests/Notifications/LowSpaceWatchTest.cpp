#include "Notifications/LowSpaceWatch.h"

#include "support/Printers.h"

#include <gtest/gtest.h>

using namespace mallowby;

namespace {

Volume volume(const QString& id, qint64 total, qint64 available, bool stale = false)
{
    Volume v;
    v.id = id;
    v.name = id;
    v.kind = VolumeKind::external;
    v.space = Space{total, available, available, stale};
    return v;
}

Volume unread(const QString& id)
{
    Volume v;
    v.id = id;
    v.name = id;
    return v;
}

QStringList ids(const QList<Volume>& volumes)
{
    QStringList list;
    for (const Volume& v : volumes)
        list << v.id;
    return list;
}

const auto p10 = LowSpaceThreshold::percent(10);

} // namespace

TEST(LowSpaceWatch, AnnouncesOnlyAfterClimbingBackPastTheBand)
{
    LowSpaceWatch watch;
    // Already low when first seen: recorded, not announced.
    EXPECT_EQ(ids(watch.evaluate({volume("v", 1000, 50)}, p10)), QStringList{});
    EXPECT_TRUE(watch.low.value("v"));
    EXPECT_EQ(watch.threshold, p10);
    // Inside the band (100 … 110) it stays low.
    for (qint64 available : {105, 110, 101, 100}) {
        EXPECT_EQ(ids(watch.evaluate({volume("v", 1000, available)}, p10)), QStringList{});
        EXPECT_TRUE(watch.low.value("v")) << available;
    }
    EXPECT_EQ(ids(watch.evaluate({volume("v", 1000, 111)}, p10)), QStringList{});
    EXPECT_FALSE(watch.low.value("v", true));
    // Back in the band from above: not low, nothing to say.
    EXPECT_EQ(ids(watch.evaluate({volume("v", 1000, 100)}, p10)), QStringList{});
    EXPECT_FALSE(watch.low.value("v", true));
    EXPECT_EQ(ids(watch.evaluate({volume("v", 1000, 99)}, p10)), QStringList{"v"});
    EXPECT_EQ(ids(watch.evaluate({volume("v", 1000, 99)}, p10)), QStringList{});
    EXPECT_EQ(ids(watch.evaluate({volume("v", 1000, 20)}, p10)), QStringList{});
}

TEST(LowSpaceWatch, GigabyteThresholdAnnouncesOnce)
{
    LowSpaceWatch watch;
    const auto g5 = LowSpaceThreshold::gigabytes(5);
    EXPECT_EQ(ids(watch.evaluate({volume("v", 64'000'000'000, 6'000'000'000)}, g5)), QStringList{});
    EXPECT_EQ(ids(watch.evaluate({volume("v", 64'000'000'000, 4'999'999'999)}, g5)), QStringList{"v"});
    EXPECT_EQ(ids(watch.evaluate({volume("v", 64'000'000'000, 4'999'999'999)}, g5)), QStringList{});
    EXPECT_EQ(ids(watch.evaluate({volume("v", 64'000'000'000, 4'999'999'999)}, g5)), QStringList{});
    // 5.4 GB is inside the band; 5.6 GB clears it.
    EXPECT_EQ(ids(watch.evaluate({volume("v", 64'000'000'000, 5'400'000'000)}, g5)), QStringList{});
    EXPECT_EQ(ids(watch.evaluate({volume("v", 64'000'000'000, 4'000'000'000)}, g5)), QStringList{});
    EXPECT_EQ(ids(watch.evaluate({volume("v", 64'000'000'000, 5'600'000'000)}, g5)), QStringList{});
    EXPECT_EQ(ids(watch.evaluate({volume("v", 64'000'000'000, 4'000'000'000)}, g5)), QStringList{"v"});
}

TEST(LowSpaceWatch, ChangingTheThresholdAnnouncesNothingByItself)
{
    LowSpaceWatch watch;
    EXPECT_EQ(ids(watch.evaluate({volume("v", 1000, 150)}, p10)), QStringList{});
    EXPECT_FALSE(watch.low.value("v", true));
    // 15 % free is low under 20 %, but the new threshold sees every volume afresh.
    EXPECT_EQ(ids(watch.evaluate({volume("v", 1000, 150)}, LowSpaceThreshold::percent(20))), QStringList{});
    EXPECT_TRUE(watch.low.value("v"));
    EXPECT_EQ(watch.threshold, LowSpaceThreshold::percent(20));
    // An equal threshold read from its text is no change.
    EXPECT_EQ(ids(watch.evaluate({volume("v", 1000, 300)}, *LowSpaceThreshold::fromRawValue("percent:20"))), QStringList{});
    EXPECT_EQ(ids(watch.evaluate({volume("v", 1000, 150)}, LowSpaceThreshold::percent(20))), QStringList{"v"});
}

TEST(LowSpaceWatch, StaleOrMissingFiguresKeepTheFlagAndAnnounceNothing)
{
    LowSpaceWatch watch;
    watch.evaluate({volume("v", 1000, 500), volume("w", 1000, 50)}, p10);
    // The read timed out: the old figures say low, but the flag stays as it was.
    EXPECT_EQ(ids(watch.evaluate({volume("v", 1000, 50, true), unread("w")}, p10)), QStringList{});
    EXPECT_EQ(watch.low, (QHash<QString, bool>{{"v", false}, {"w", true}}));
    EXPECT_EQ(ids(watch.evaluate({volume("v", 1000, 50), volume("w", 1000, 50)}, p10)), QStringList{"v"});

    // Never seen fresh: left out, so the first fresh figures only record.
    LowSpaceWatch fresh;
    EXPECT_EQ(ids(fresh.evaluate({volume("x", 1000, 50, true), unread("y")}, p10)), QStringList{});
    EXPECT_TRUE(fresh.low.isEmpty());
    EXPECT_EQ(ids(fresh.evaluate({volume("x", 1000, 50), volume("y", 1000, 50)}, p10)), QStringList{});
    EXPECT_EQ(fresh.low, (QHash<QString, bool>{{"x", true}, {"y", true}}));

    // A later unknown duplicate of an id takes back what an earlier one of this pass recorded.
    LowSpaceWatch duplicate;
    duplicate.evaluate({volume("d", 1000, 500), unread("d")}, p10);
    EXPECT_FALSE(duplicate.low.contains("d"));
}

TEST(LowSpaceWatch, AVolumeWithoutCapacityIsNeverLow)
{
    LowSpaceWatch watch;
    for (int pass = 0; pass < 3; ++pass)
        EXPECT_EQ(ids(watch.evaluate({volume("z", 0, 0)}, p10)), QStringList{});
    EXPECT_FALSE(watch.low.value("z", true));
    EXPECT_EQ(ids(watch.evaluate({volume("z", 0, 0)}, LowSpaceThreshold::gigabytes(5))), QStringList{});
    EXPECT_FALSE(watch.low.value("z", true));
}

TEST(LowSpaceWatch, AVolumeThatLeavesIsForgotten)
{
    LowSpaceWatch watch;
    watch.evaluate({volume("v", 1000, 500), volume("other", 1000, 500)}, p10);
    EXPECT_EQ(ids(watch.evaluate({volume("other", 1000, 500)}, p10)), QStringList{});
    EXPECT_EQ(watch.low.keys(), QStringList{"other"});
    // Mounted again, already low: seen as new, so not announced.
    EXPECT_EQ(ids(watch.evaluate({volume("v", 1000, 50), volume("other", 1000, 500)}, p10)), QStringList{});
    EXPECT_TRUE(watch.low.value("v"));
}

TEST(LowSpaceWatch, SeveralVolumesFallingTogetherComeInListOrder)
{
    LowSpaceWatch watch;
    watch.evaluate({volume("a", 1000, 500), volume("b", 1000, 500), volume("c", 1000, 500)}, p10);
    EXPECT_EQ(ids(watch.evaluate({volume("c", 1000, 10), volume("a", 1000, 10), volume("b", 1000, 500)}, p10)),
              (QStringList{"c", "a"}));
}
