#include "Notifications/LowSpaceWatch.h"

#include "support/Printers.h"

#include <gtest/gtest.h>

using namespace mallowby;

namespace {

Volume volume(const QString& id, qint64 total, qint64 available, bool stale = false)
{
    Volume v;
    v.id = v.name = id;
    v.kind = VolumeKind::external;
    v.space = Space{total, available, available, stale};
    return v;
}

Volume unread(const QString& id)
{
    Volume v;
    v.id = v.name = id;
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
    // Steps of one volume's free space; already low when first seen is recorded, not announced;
    // inside the band (threshold … 1.1 × threshold) it stays as it was.
    const auto g5 = LowSpaceThreshold::gigabytes(5);
    const struct {
        LowSpaceThreshold threshold;
        qint64 total;
        QList<std::tuple<qint64, bool, bool>> steps;  // available, announced, low after
    } rows[] = {
        {p10, 1000, {{50, false, true}, {105, false, true}, {110, false, true}, {100, false, true}, {111, false, false},
                     {100, false, false}, {99, true, true}, {99, false, true}, {20, false, true}}},
        {g5, 64'000'000'000, {{6'000'000'000, false, false}, {4'999'999'999, true, true}, {4'999'999'999, false, true},
                              {5'400'000'000, false, true}, {4'000'000'000, false, true}, {5'600'000'000, false, false},
                              {4'000'000'000, true, true}}},
    };
    for (const auto& row : rows) {
        LowSpaceWatch watch;
        for (const auto& [available, announced, low] : row.steps) {
            EXPECT_EQ(ids(watch.evaluate({volume("v", row.total, available)}, row.threshold)),
                      announced ? QStringList{"v"} : QStringList{})
                << row.threshold.rawValue().toStdString() << ' ' << available;
            EXPECT_EQ(watch.low.value("v"), low) << row.threshold.rawValue().toStdString() << ' ' << available;
        }
        EXPECT_EQ(watch.threshold, row.threshold);
    }
}

TEST(LowSpaceWatch, ChangingTheThresholdAnnouncesNothingByItself)
{
    LowSpaceWatch watch;
    watch.evaluate({volume("v", 1000, 150)}, p10);
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

TEST(LowSpaceWatch, LeavingVolumesAreForgottenAndFallsComeInListOrder)
{
    LowSpaceWatch watch;
    watch.evaluate({volume("v", 1000, 500), volume("a", 1000, 500), volume("b", 1000, 500), volume("c", 1000, 500)}, p10);
    EXPECT_EQ(ids(watch.evaluate({volume("c", 1000, 10), volume("a", 1000, 10), volume("b", 1000, 500)}, p10)),
              (QStringList{"c", "a"}));
    EXPECT_FALSE(watch.low.contains("v"));
    // Mounted again, already low: seen as new, so not announced.
    EXPECT_EQ(ids(watch.evaluate({volume("v", 1000, 50)}, p10)), QStringList{});
    EXPECT_TRUE(watch.low.value("v"));
}
