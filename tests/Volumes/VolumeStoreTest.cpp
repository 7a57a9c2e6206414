#include "Volumes/VolumeStore.h"

#include "support/TestEnvironment.h"
#include "support/TestWorld.h"

#include <QMap>
#include <QSignalSpy>

#include <gtest/gtest.h>

using namespace mallowby;
using namespace mallowby::test;
using namespace std::chrono_literals;

namespace {

// The world's store over the root disk and two described sticks.
class VolumeStoreTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        fake.table->mounts = {FakeVolumePlatform::mount("/", "/dev/vda"), FakeVolumePlatform::mount("/media/stick", "/dev/sdb1", "vfat"),
                              FakeVolumePlatform::mount("/media/other", "/dev/sdc1")};
        fake.descriptions->byName = {{"sdb1", {"AAAA-1111", "Stick", {}, {}, {}, false, {}}},
                                     {"sdc1", {"BBBB-2222", "Other", {}, {}, {}, false, {}}}};
        world.capacities.set("/", Space{100, 50, 50, false});
        world.capacities.set("/media/stick", Space{10, 4, 4, false});
        world.capacities.set("/media/other", Space{20, 5, 5, false});
    }
    VolumeStore& start()
    {
        world.startStore();
        EXPECT_TRUE(world.waitForFigures());
        return *world.store;
    }
    QStringList names() const
    {
        QStringList names;
        for (const Volume& v : world.store->volumes())
            names << v.name;
        return names;
    }
    bool readsReach(int count) const
    {
        return TestEnvironment::waitUntil([&] { return world.capacities.reads() == count; }, 5s);
    }
    const Volume& stick() const { return *world.volumeAt("/media/stick"); }

    TestWorld world;
    FakeVolumePlatform& fake = world.fake;
};

} // namespace

TEST_F(VolumeStoreTest, OneStoreThroughRebuildsReadsAndRefreshes)
{
    VolumeStore& store = start();
    EXPECT_EQ(names(), (QStringList{"Other", "Stick", "/"}));  // external first, then by name
    EXPECT_EQ(std::make_pair(stick().id, stick().space), std::make_pair(QString("AAAA-1111"), std::optional(Space{10, 4, 4, false})));
    EXPECT_TRUE(fake.source->started);
    const int tableReads = fake.table->reads;
    int reads = world.capacities.reads();
    store.start();  // a second start does nothing
    QSignalSpy changes(&store, &VolumeStore::volumesChanged);
    {
        SCOPED_TRACE("rebuilds are coalesced and publish only changes");
        for (int i = 0; i < 10; ++i)
            fake.source->fire();
        EXPECT_EQ(fake.table->reads, tableReads);  // nothing until the loop turns
        world.settle();
        EXPECT_EQ(fake.table->reads, tableReads + 1);
        store.refreshAll();
        ASSERT_TRUE(readsReach(reads += 3));
        world.settleReads();
        EXPECT_EQ(changes.count(), 0);
    }
    for (const bool fails : {true, false}) {
        SCOPED_TRACE(fails ? "a failed read marks the figures stale" : "the same figures fresh again are a change");
        world.capacities.set("/media/stick", fails ? std::nullopt : std::optional(Space{10, 4, 4, false}));
        store.refreshSpace("AAAA-1111");
        ASSERT_TRUE(TestEnvironment::waitUntil([&] { return changes.count() == (fails ? 1 : 2); }, 5s));
        EXPECT_EQ(stick().space, (Space{10, 4, 4, fails}));
        ++reads;
    }
    {
        SCOPED_TRACE("a rename keeps the id and the figures (not read again) and moves the volume");
        fake.descriptions->byName["sdb1"].volumeName = "A stick";
        fake.source->fire();
        world.settle();
        EXPECT_EQ(names(), (QStringList{"A stick", "Other", "/"}));
        EXPECT_EQ(std::make_pair(store.volumes()[0].id, store.volumes()[0].space), std::make_pair(QString("AAAA-1111"), std::optional(Space{10, 4, 4, false})));
        EXPECT_EQ(world.capacities.reads(), reads);
        world.capacities.set("/mnt/data", Space{30, 3, 3, false});
        fake.table->mounts.removeFirst();
        fake.table->mounts.append(FakeVolumePlatform::mount("/mnt/data", "/dev/sdd1"));
        fake.source->fire();
        world.settle();
        EXPECT_EQ(names(), (QStringList{"A stick", "Other", "data"}));
        ASSERT_TRUE(world.waitForFigures());
        world.settleReads();
        reads = world.capacities.reads();
    }
    {
        SCOPED_TRACE("the refresh timer is one timer, first firing after thirty seconds");
        store.setRefreshing(true);
        store.setRefreshing(true);
        EXPECT_EQ(world.clock.pendingTimers(), 1u);
        for (const auto& [by, count] : QList<std::pair<int, int>>{{29, 0}, {1, 3}, {30, 6}}) {
            world.clock.advance(std::chrono::seconds(by));
            EXPECT_TRUE(readsReach(reads + count)) << by;
            world.settleReads();
            EXPECT_EQ(world.capacities.reads(), reads + count) << by;
        }
        store.setRefreshing(false);
        EXPECT_FALSE(store.isRefreshing());
        EXPECT_EQ(world.clock.pendingTimers(), 0u);
        world.clock.advance(90s);
        world.settleReads();
        EXPECT_EQ(world.capacities.reads(), reads += 6);
    }
    SCOPED_TRACE("one read per volume at a time; a late answer for a volume moved meanwhile is dropped");
    world.capacities.hold(true);
    world.capacities.set("/media/stick", Space{10, 1, 1, false});
    store.refreshAll();
    store.refreshAll();
    store.refreshSpace("AAAA-1111");
    ASSERT_TRUE(readsReach(reads + 3));
    fake.table->mounts.first().path = "/media/stick-moved";  // same id, figures carried over
    fake.source->fire();
    world.settle();
    world.capacities.hold(false);
    world.settleReads();
    EXPECT_EQ(world.capacities.reads(), reads + 3);
    const Volume* moved = world.volumeAt("/media/stick-moved");
    ASSERT_NE(moved, nullptr);
    EXPECT_EQ(std::make_pair(moved->id, moved->space), std::make_pair(QString("AAAA-1111"), std::optional(Space{10, 4, 4, false})));
}

TEST_F(VolumeStoreTest, AVolumeWithoutFiguresIsRetriedAfterOneAndTwoSecondsThenUntilTheNextTrigger)
{
    world.capacities.set("/media/stick", std::nullopt);
    VolumeStore& store = world.startStore();
    ASSERT_TRUE(readsReach(3));  // every volume once
    // Due after (ms), reads by then.
    for (const auto& [due, count] : QList<std::pair<int, int>>{{999, 3}, {1, 4}, {1999, 4}, {1, 5}, {60'000, 5}}) {
        world.settleReads();
        world.clock.advance(std::chrono::milliseconds(due));
        EXPECT_TRUE(readsReach(count)) << due;
        world.settleReads();
        EXPECT_EQ(world.capacities.reads(), count) << due;
    }
    EXPECT_FALSE(world.volumeAt("/media/stick")->space.has_value());
    // The next trigger starts a new series, and this time it succeeds.
    world.capacities.set("/media/stick", Space{10, 9, 9, false});
    store.refreshSpace("AAAA-1111");
    ASSERT_TRUE(world.waitForFigures());
    EXPECT_EQ(world.capacities.reads(), 6);
}

TEST_F(VolumeStoreTest, EveryMountOfOneFileSystemHasItsOwnIdAndKeepsIt)
{
    // The stick bound whole at a second place and by a folder at a third.
    fake.table->mounts.append(FakeVolumePlatform::mount("/srv/stick", "/dev/sdb1", "vfat"));
    fake.table->mounts.append(FakeVolumePlatform::mount("/home/me/photos", "/dev/sdb1", "vfat"));
    fake.table->mounts.last().root = "/photos";
    VolumeStore& store = world.startStore();
    const auto ids = [&] {
        QMap<QString, QString> byPath;
        for (const Volume& v : store.volumes())
            byPath.insert(v.mountPath, v.id);
        return byPath;
    };
    const QMap<QString, QString> first = ids();
    EXPECT_EQ(first, (QMap<QString, QString>{{"/media/stick", "AAAA-1111@/media/stick"}, {"/srv/stick", "AAAA-1111@/srv/stick"},
                                             {"/home/me/photos", "AAAA-1111:/photos"}, {"/media/other", "BBBB-2222"}, {"/", "/dev/vda"}}));
    // The bind goes and comes back last in the table: every id is as it was.
    const VolumeStore::Mount bind = fake.table->mounts.takeAt(3);
    fake.source->fire();
    world.settle();
    EXPECT_EQ(world.volumeAt("/media/stick")->id, "AAAA-1111");
    fake.table->mounts.append(bind);
    fake.source->fire();
    world.settle();
    EXPECT_EQ(ids(), first);
}
