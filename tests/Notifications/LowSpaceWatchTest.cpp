#include "Notifications/LowSpaceWatch.h"

#include "support/Printers.h"

#include <gtest/gtest.h>

using namespace mallowby;

namespace {

// A volume with figures of `total` bytes, or without any (`available` none).
Volume volume(const QString& id, std::optional<qint64> available, bool stale = false, qint64 total = 1000)
{
    Volume v;
    v.id = v.name = id;
    v.kind = VolumeKind::external;
    if (available)
        v.space = Space{total, *available, *available, stale};
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
const auto p20 = LowSpaceThreshold::percent(20);

} // namespace

TEST(LowSpaceWatch, AnnouncesOnlyAfterClimbingBackPastTheBand)
{
    // Low when first seen is recorded, not announced; inside the band (up to 1.1 × threshold) nothing changes.
    const struct {
        LowSpaceThreshold threshold;
        qint64 total;
        QList<std::tuple<qint64, bool, bool>> steps;  // available, announced, low after
    } rows[] = {
        {p10, 1000, {{50, false, true}, {105, false, true}, {110, false, true}, {100, false, true}, {111, false, false},
                     {100, false, false}, {99, true, true}, {99, false, true}, {20, false, true}}},
        {LowSpaceThreshold::gigabytes(5), 64'000'000'000, {{6'000'000'000, false, false}, {4'999'999'999, true, true},
                     {4'999'999'999, false, true}, {5'400'000'000, false, true}, {4'000'000'000, false, true},
                     {5'600'000'000, false, false}, {4'000'000'000, true, true}}},
    };
    for (const auto& row : rows) {
        LowSpaceWatch watch;
        for (const auto& [available, announced, low] : row.steps) {
            SCOPED_TRACE(row.threshold.rawValue().toStdString() + ' ' + std::to_string(available));
            EXPECT_EQ(ids(watch.evaluate({volume("v", available, false, row.total)}, row.threshold)), announced ? QStringList{"v"} : QStringList{});
            EXPECT_EQ(watch.low.value("v"), low);
        }
        EXPECT_EQ(watch.threshold, row.threshold);
    }
}

TEST(LowSpaceWatch, ThresholdChangesStaleFiguresAndLeavingVolumes)
{
    struct Step {
        QList<Volume> volumes;
        LowSpaceThreshold threshold;
        QStringList announced;
        QHash<QString, bool> low;
    };
    const std::vector<std::pair<const char*, QList<Step>>> rows{
        {"a new threshold sees every volume afresh; one equal to it read from text is none",
         {{{volume("v", 150)}, p10, {}, {{"v", false}}},
          {{volume("v", 150)}, p20, {}, {{"v", true}}},
          {{volume("v", 300)}, *LowSpaceThreshold::fromRawValue("percent:20"), {}, {{"v", false}}},
          {{volume("v", 150)}, p20, {"v"}, {{"v", true}}}}},
        {"stale or missing figures keep the flag",
         {{{volume("v", 500), volume("w", 50)}, p10, {}, {{"v", false}, {"w", true}}},
          {{volume("v", 50, true), volume("w", std::nullopt)}, p10, {}, {{"v", false}, {"w", true}}},
          {{volume("v", 50), volume("w", 50)}, p10, {"v"}, {{"v", true}, {"w", true}}}}},
        {"never seen fresh: left out, so the first fresh figures only record",
         {{{volume("x", 50, true), volume("y", std::nullopt)}, p10, {}, {}},
          {{volume("x", 50), volume("y", 50)}, p10, {}, {{"x", true}, {"y", true}}}}},
        {"a later unknown duplicate takes back what an earlier one recorded", {{{volume("d", 500), volume("d", std::nullopt)}, p10, {}, {}}}},
        {"leaving volumes are forgotten and falls come in list order; mounted again, already low, is new",
         {{{volume("v", 500), volume("a", 500), volume("b", 500), volume("c", 500)}, p10, {}, {{"v", false}, {"a", false}, {"b", false}, {"c", false}}},
          {{volume("c", 10), volume("a", 10), volume("b", 500)}, p10, {"c", "a"}, {{"c", true}, {"a", true}, {"b", false}}},
          {{volume("v", 50)}, p10, {}, {{"v", true}}}}},
    };
    for (const auto& [name, steps] : rows) {
        LowSpaceWatch watch;
        for (qsizetype i = 0; i < steps.size(); ++i) {
            SCOPED_TRACE(std::string(name) + ", step " + std::to_string(i));
            EXPECT_EQ(ids(watch.evaluate(steps[i].volumes, steps[i].threshold)), steps[i].announced);
            EXPECT_EQ(watch.low, steps[i].low);
            EXPECT_EQ(watch.threshold, steps[i].threshold);
        }
    }
}
