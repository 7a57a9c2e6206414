#include "Volumes/VolumeStore.h"

#include "support/TestEnvironment.h"
#include "support/TestWorld.h"

#include <QMap>
#include <QSignalSpy>

#include <gtest/gtest.h>

using namespace mallowby;
using namespace mallowby::test;

namespace {

class VolumeStoreTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        fake.table->mounts = {
            FakeVolumePlatform::mount("/", "/dev/vda"),
            FakeVolumePlatform::mount("/media/stick", "/dev/sdb1", "vfat"),
        };
        DiskDescription stick;
        stick.volumeUUID = QStringLiteral("AAAA-1111");
        stick.volumeName = QStringLiteral("Stick");
        stick.deviceInternal = false;
        fake.descriptions->byName.insert(QStringLiteral("sdb1"), stick);
        capacities.set("/", Space{100, 50, 50, false});
        capacities.set("/media/stick", Space{10, 4, 4, false});
    }

    void startStore() { store = &world.startStore(); }

    // Lets the pool's reads finish and their continuations run.
    void settle() { TestEnvironment::waitUntil([] { return false; }, std::chrono::milliseconds(50)); }

    TestWorld world;
    FakeVolumePlatform& fake = world.fake;
    Capacities& capacities = world.capacities;
    ManualClock& clock = world.clock;
    VolumeStore* store = nullptr;
};

} // namespace

TEST_F(VolumeStoreTest, StartRebuildsAndPublishesOnlyChanges)
{
    startStore();
    ASSERT_EQ(store->volumes().size(), 2);
    EXPECT_EQ(store->volumes()[0].name, "Stick");  // external before internal
    EXPECT_EQ(store->volumes()[0].id, "AAAA-1111");
    EXPECT_EQ(store->volumes()[1].name, "/");
    ASSERT_TRUE(world.waitForFigures());
    EXPECT_EQ(store->volumes()[0].space, (Space{10, 4, 4, false}));
    EXPECT_TRUE(fake.source->started);
    const int reads = fake.table->reads;
    store->start();  // a second start does nothing
    EXPECT_EQ(fake.table->reads, reads);

    // Ten events in one turn give one rebuild, and an unchanged one publishes nothing.
    QSignalSpy changes(store, &VolumeStore::volumesChanged);
    for (int i = 0; i < 10; ++i)
        fake.source->fire();
    EXPECT_EQ(fake.table->reads, reads);  // nothing until the loop turns
    settle();
    EXPECT_EQ(fake.table->reads, reads + 1);
    EXPECT_EQ(changes.count(), 0);

    fake.table->mounts.append(FakeVolumePlatform::mount("/mnt/data", "/dev/sdc1"));
    fake.source->fire();
    settle();
    ASSERT_EQ(store->volumes().size(), 3);
    fake.table->mounts.removeFirst();
    fake.source->fire();
    settle();
    QStringList paths;
    for (const Volume& v : store->volumes())
        paths << v.mountPath;
    EXPECT_EQ(paths, (QStringList{"/media/stick", "/mnt/data"}));
}

TEST_F(VolumeStoreTest, ARenameKeepsIdAndFiguresAndMovesTheVolume)
{
    fake.table->mounts.append(FakeVolumePlatform::mount("/media/other", "/dev/sdc1"));
    DiskDescription other = fake.descriptions->byName.value(QStringLiteral("sdb1"));
    other.volumeUUID = QStringLiteral("BBBB-2222");
    other.volumeName = QStringLiteral("Other");
    fake.descriptions->byName.insert(QStringLiteral("sdc1"), other);
    capacities.set("/media/other", Space{20, 5, 5, false});
    startStore();
    ASSERT_TRUE(world.waitForFigures());
    EXPECT_EQ(store->volumes()[0].name, "Other");

    fake.descriptions->byName[QStringLiteral("sdb1")].volumeName = QStringLiteral("A stick");
    const int reads = capacities.reads();
    fake.source->fire();
    settle();
    ASSERT_EQ(store->volumes().size(), 3);
    EXPECT_EQ(store->volumes()[0].name, "A stick");
    EXPECT_EQ(store->volumes()[0].id, "AAAA-1111");
    EXPECT_EQ(store->volumes()[0].space, (Space{10, 4, 4, false}));
    EXPECT_EQ(capacities.reads(), reads);  // figures carried over, not read again
}

TEST_F(VolumeStoreTest, OnlyChangedFiguresArePublishedAndAFailedReadMarksThemStale)
{
    startStore();
    ASSERT_TRUE(world.waitForFigures());
    QSignalSpy changes(store, &VolumeStore::volumesChanged);
    const int reads = capacities.reads();
    store->refreshAll();
    ASSERT_TRUE(TestEnvironment::waitUntil([&] { return capacities.reads() == reads + 2; }, std::chrono::seconds(5)));
    settle();
    EXPECT_EQ(changes.count(), 0);

    // Stale, then the same numbers fresh again: both are changes.
    capacities.set("/media/stick", std::nullopt);
    store->refreshSpace("AAAA-1111");
    ASSERT_TRUE(TestEnvironment::waitUntil([&] { return changes.count() == 1; }, std::chrono::seconds(5)));
    EXPECT_EQ(store->volumes()[0].space, (Space{10, 4, 4, true}));
    capacities.set("/media/stick", Space{10, 4, 4, false});
    store->refreshSpace("AAAA-1111");
    ASSERT_TRUE(TestEnvironment::waitUntil([&] { return changes.count() == 2; }, std::chrono::seconds(5)));
    EXPECT_EQ(store->volumes()[0].space, (Space{10, 4, 4, false}));
}

TEST_F(VolumeStoreTest, AVolumeWithoutFiguresIsRetriedTwiceThenGivenUpUntilTheNextTrigger)
{
    capacities.set("/media/stick", std::nullopt);
    startStore();
    const auto readsSoFar = [&] { return capacities.reads(); };
    ASSERT_TRUE(TestEnvironment::waitUntil([&] { return readsSoFar() == 2; }, std::chrono::seconds(5)));  // both volumes once
    settle();

    clock.advance(std::chrono::milliseconds(999));
    settle();
    EXPECT_EQ(readsSoFar(), 2);
    clock.advance(std::chrono::milliseconds(1));
    ASSERT_TRUE(TestEnvironment::waitUntil([&] { return readsSoFar() == 3; }, std::chrono::seconds(5)));
    settle();
    clock.advance(std::chrono::milliseconds(1999));
    settle();
    EXPECT_EQ(readsSoFar(), 3);
    clock.advance(std::chrono::milliseconds(1));
    ASSERT_TRUE(TestEnvironment::waitUntil([&] { return readsSoFar() == 4; }, std::chrono::seconds(5)));
    settle();
    clock.advance(std::chrono::seconds(60));
    settle();
    EXPECT_EQ(readsSoFar(), 4);
    EXPECT_FALSE(store->volumes()[0].space.has_value());

    // The next trigger starts a new series, and this time it succeeds.
    capacities.set("/media/stick", Space{10, 9, 9, false});
    store->refreshSpace("AAAA-1111");
    ASSERT_TRUE(TestEnvironment::waitUntil([&] { return store->volumes()[0].space.has_value(); }, std::chrono::seconds(5)));
    EXPECT_EQ(readsSoFar(), 5);
}

TEST_F(VolumeStoreTest, OneReadPerVolumeAndALateAnswerForAMovedVolumeIsDropped)
{
    startStore();
    ASSERT_TRUE(world.waitForFigures());
    const int before = capacities.reads();
    capacities.hold(true);
    capacities.set("/media/stick", Space{10, 1, 1, false});
    store->refreshAll();
    settle();
    store->refreshAll();
    store->refreshSpace("AAAA-1111");
    settle();
    // Remounted elsewhere while the read of the old path is under way: same id, figures carried over.
    fake.table->mounts[1].path = "/media/stick-moved";
    fake.source->fire();
    settle();
    ASSERT_EQ(store->volumes()[0].mountPath, "/media/stick-moved");
    capacities.hold(false);
    settle();
    EXPECT_EQ(capacities.reads(), before + 2);
    EXPECT_EQ(store->volumes()[0].id, "AAAA-1111");
    EXPECT_EQ(store->volumes()[0].space, (Space{10, 4, 4, false}));
}

TEST_F(VolumeStoreTest, EveryMountOfOneFileSystemHasItsOwnIdAndFigures)
{
    // The stick bound whole at a second place and by a folder at a third.
    fake.table->mounts.append(FakeVolumePlatform::mount("/srv/stick", "/dev/sdb1", "vfat"));
    fake.table->mounts.append(FakeVolumePlatform::mount("/home/me/photos", "/dev/sdb1", "vfat"));
    fake.table->mounts.last().root = "/photos";
    capacities.set("/srv/stick", Space{10, 4, 4, false});
    capacities.set("/home/me/photos", Space{10, 4, 4, false});
    startStore();
    ASSERT_TRUE(world.waitForFigures());
    const auto ids = [&] {
        QMap<QString, QString> byPath;
        for (const Volume& v : store->volumes())
            byPath.insert(v.mountPath, v.id);
        return byPath;
    };
    const QMap<QString, QString> first = ids();
    EXPECT_EQ(first, (QMap<QString, QString>{{"/media/stick", "AAAA-1111@/media/stick"},
                                             {"/srv/stick", "AAAA-1111@/srv/stick"},
                                             {"/home/me/photos", "AAAA-1111:/photos"},
                                             {"/", "/dev/vda"}}));

    // The bind goes and comes back last in the table: every id is as it was.
    const VolumeStore::Mount bind = fake.table->mounts.takeAt(2);
    fake.source->fire();
    settle();
    EXPECT_EQ(world.volumeAt("/media/stick")->id, "AAAA-1111");
    fake.table->mounts.append(bind);
    fake.source->fire();
    settle();
    EXPECT_EQ(ids(), first);
}

TEST_F(VolumeStoreTest, TheRefreshTimerIsOneTimerFirstFiringAfterThirtySeconds)
{
    startStore();
    ASSERT_TRUE(world.waitForFigures());
    const int before = capacities.reads();
    store->setRefreshing(true);
    store->setRefreshing(true);
    EXPECT_EQ(clock.pendingTimers(), 1u);
    clock.advance(std::chrono::seconds(29));
    settle();
    EXPECT_EQ(capacities.reads(), before);
    clock.advance(std::chrono::seconds(1));
    ASSERT_TRUE(TestEnvironment::waitUntil([&] { return capacities.reads() == before + 2; }, std::chrono::seconds(5)));
    settle();
    clock.advance(std::chrono::seconds(30));
    ASSERT_TRUE(TestEnvironment::waitUntil([&] { return capacities.reads() == before + 4; }, std::chrono::seconds(5)));

    store->setRefreshing(false);
    EXPECT_FALSE(store->isRefreshing());
    EXPECT_EQ(clock.pendingTimers(), 0u);
    settle();
    clock.advance(std::chrono::seconds(90));
    settle();
    EXPECT_EQ(capacities.reads(), before + 4);
}
