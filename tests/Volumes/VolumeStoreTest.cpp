#include "Volumes/SpaceHelper.h"
#include "Volumes/SpaceReader.h"
#include "Volumes/VolumeStore.h"

#include "support/Printers.h"
#include "support/TestEnvironment.h"
#include "support/TestWorld.h"

#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QMap>
#include <QSignalSpy>
#include <QTemporaryDir>

#include <gtest/gtest.h>

#include <csignal>

#include <sys/statvfs.h>

using namespace mallowby;
using namespace mallowby::test;
using namespace std::chrono_literals;

namespace {

VolumeStore::Mount mount(const QString& path, const QString& source, const QString& type = "ext4", const QString& root = "/")
{
    return VolumeStore::Mount{.path = path, .source = source, .type = type, .root = root};
}

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

TEST(VolumeModel, KindsFormatsOrderAndSpace)
{
    EXPECT_EQ(VolumeKind::fromRawValue("diskImage"), VolumeKind::diskImage);
    EXPECT_EQ(VolumeKind::fromRawValue("DiskImage"), std::nullopt);
    const std::optional<QString> image = QStringLiteral("Disk Image"), none;
    const std::optional<bool> unknown;
    // classify(isLocal, isBoot, model, deviceInternal, mediaRemovable): the first matching rule wins.
    const struct { const char* name; VolumeKind got, want; } rows[] = {
        {"not local wins", VolumeKind::classify(false, true, image, false, true), VolumeKind::network},
        {"image even at boot", VolumeKind::classify(true, true, image, unknown, unknown), VolumeKind::diskImage},
        {"boot on an external bus", VolumeKind::classify(true, true, none, false, true), VolumeKind::internal},
        {"external bus", VolumeKind::classify(true, false, none, false, false), VolumeKind::external},
        {"built-in card reader", VolumeKind::classify(true, false, none, true, true), VolumeKind::external},
        {"internal fixed", VolumeKind::classify(true, false, none, true, false), VolumeKind::internal},
        {"nothing known", VolumeKind::classify(true, false, none, unknown, unknown), VolumeKind::internal},
        {"model matches exactly", VolumeKind::classify(true, false, QStringLiteral("disk image"), unknown, unknown), VolumeKind::internal},
    };
    for (const auto& row : rows)
        EXPECT_EQ(row.got, row.want) << row.name;
    EXPECT_EQ(QStringList({Volume::formatName("vfat"), Volume::formatName("Vfat"), Volume::formatName("fuse.sshfs")}),
              QStringList({"FAT", "VFAT", "FUSE.SSHFS"}));

    // By kind, then by name ignoring case; "Beta" and "BETA" keep their order.
    QList<Volume> list;
    for (const auto& [id, kind] : QList<std::pair<QString, VolumeKind>>{
             {"zeta", VolumeKind::internal}, {"Beta", VolumeKind::external}, {"share", VolumeKind::network}, {"alpha", VolumeKind::external},
             {"image", VolumeKind::diskImage}, {"BETA", VolumeKind::external}, {"Äpfel", VolumeKind::internal}}) {
        list << mount("/" + id, id).toVolume({});
        list.last().id = list.last().name = id;
        list.last().kind = kind;
    }
    std::stable_sort(list.begin(), list.end(), &Volume::precedes);
    QStringList ids;
    for (const Volume& v : list)
        ids << v.id;
    EXPECT_EQ(ids, (QStringList{"alpha", "Beta", "BETA", "image", "share", "zeta", "Äpfel"}));
    EXPECT_FALSE(Volume::precedes(list[2], list[1]));

    EXPECT_EQ((Space{.total = 100, .available = 40}).used(), 60);
    EXPECT_DOUBLE_EQ((Space{.total = 100, .available = 40}).usedFraction(), 0.6);
    EXPECT_EQ((Space{.total = 100, .available = 150}).used(), 0);
    EXPECT_DOUBLE_EQ((Space{.total = 0, .available = -5}).usedFraction(), 0.0);
}

TEST(VolumeModel, MountsBecomeVolumes)
{
    const DiskDescription stick{"3A985505-AE1F-4961-98B0-80C279BC1689", "Backup", {}, "  SanDisk Cruzer  ", "USB", false, true},
        paddedImage{{}, {}, {}, "Disk Image   ", {}, {}, {}}, ntfs{{}, {}, "ntfs", {}, {}, {}, {}}, exfat{{}, {}, "exfat", {}, {}, {}, {}};
    const struct {
        const char* name;
        VolumeStore::Mount mount;
        DiskDescription description;
        QString want;  // id|name|bsd name|kind|format|model|protocol|boot
    } rows[] = {
        {"described stick", mount("/run/media/me/Backup", "/dev/sdb1", "vfat"), stick,
         "3A985505-AE1F-4961-98B0-80C279BC1689|Backup|sdb1|external|FAT|SanDisk Cruzer|USB|-"},
        {"no description", mount("/media/usb stick", "/dev/sdc1"), {}, "/dev/sdc1|usb stick|sdc1|internal|EXT4|||-"},
        {"root", mount("/", "/dev/vda"), {}, "/dev/vda|/|vda|internal|EXT4|||boot"},
        {"image model with spaces", mount("/mnt/img", "/dev/loop3"), paddedImage, "/dev/loop3|img|loop3|diskImage|EXT4|Disk Image||-"},
        {"share", {.path = "/mnt/share", .source = "//server/share", .type = "cifs", .isLocal = false}, {},
         "//server/share|share||network|SMB|||-"},
        {"share with a device-like source", {.path = "/mnt/s", .source = "/dev/odd", .type = "smbfs", .isLocal = false}, {},
         "/dev/odd|s|odd|network|SMB|||-"},
        {"fuseblk ntfs", mount("/media/win", "/dev/sdb1", "fuseblk"), ntfs, "/dev/sdb1|win|sdb1|internal|NTFS|||-"},
        {"fuseblk exfat", mount("/media/card", "/dev/sdb1", "fuseblk"), exfat, "/dev/sdb1|card|sdb1|internal|ExFAT|||-"},
        {"fuseblk unknown", mount("/media/card", "/dev/sdb1", "fuseblk"), {}, "/dev/sdb1|card|sdb1|internal|FUSEBLK|||-"},
        {"only FUSE defers to the device", mount("/media/card", "/dev/sdb1"), ntfs, "/dev/sdb1|card|sdb1|internal|EXT4|||-"},
    };
    for (const auto& row : rows) {
        const Volume v = row.mount.toVolume(row.description);
        EXPECT_EQ(QStringList({v.id, v.name, v.bsdName.value_or(""), v.kind.rawValue(), v.format, v.deviceModel.value_or(""),
                               v.deviceProtocol.value_or(""), v.isBoot ? "boot" : "-"})
                      .join('|'),
                  row.want)
            << row.name;
        EXPECT_EQ(v.mountPath, row.mount.path) << row.name;
        EXPECT_FALSE(v.space.has_value()) << row.name;
    }
}

TEST(VolumeModel, DeviceNamesStayBelowDevAndIdsAreUnique)
{
    EXPECT_EQ(mount("/mnt/a", "/dev/mapper/luks-1").bsdName(), QStringLiteral("mapper/luks-1"));
    EXPECT_EQ(mount("/mnt/a", "/dev/md/root").bsdName(), QStringLiteral("md/root"));
    for (const char* source : {"/dev/../mnt/hung/x", "/dev/..", "/dev/mapper/../../tmp", "/dev/./sda1", "/dev/", "/dev//sda1",
                               "/dev/sda1/", "/devices/sda1"})
        EXPECT_EQ(mount("/mnt/a", source).bsdName(), std::nullopt) << source;

    // btrfs subvolumes at / and /home; an image, its whole bind, a folder bind and a second mount
    // over the first; a lone stick. A folder bind beside the whole file system leaves the whole one
    // its UUID, so pins hold.
    const auto at = [](const QString& path, const QString& root) { return mount(path, "/dev/loop3", "ext4", root); };
    EXPECT_EQ(VolumeStore::Mount::uniqueIDs({at("/", "/@"), at("/home", "/@home"), at("/mnt/image", "/"), at("/srv/image", "/"),
                                             at("/photos", "/photos"), at("/mnt/image", "/"), at("/media/stick", "/")},
                                            {"B", "B", "I", "I", "I", "I", "S"}),
              (QStringList{"B:/@", "B:/@home", "I@/mnt/image", "I@/srv/image", "I:/photos", "I@/mnt/image#2", "S"}));
    EXPECT_EQ(VolumeStore::Mount::uniqueIDs({at("/mnt/image", "/"), at("/photos", "/photos")}, {"I", "I"}),
              (QStringList{"I", "I:/photos"}));
}

namespace {

// A read started now, answered later on the event loop.
struct PendingRead {
    PendingRead(const SpaceReader& reader, const QString& path)
    {
        clock.start();
        [](SpaceReader reader, QString path, auto answer) -> QCoro::Task<> { *answer = co_await reader.read(path); }(reader, path, answer);
    }
    bool done() const { return answer->has_value(); }
    // The answer (none when it did not come within 10 s) and the milliseconds it took.
    std::pair<std::optional<Space>, qint64> wait()
    {
        EXPECT_TRUE(TestEnvironment::waitUntil([&] { return done(); }, 10s));
        return {answer->value_or(std::nullopt), clock.elapsed()};
    }
    std::shared_ptr<std::optional<std::optional<Space>>> answer = std::make_shared<std::optional<std::optional<Space>>>();
    QElapsedTimer clock;
};

std::optional<Space> readNow(const SpaceReader& reader, const QString& path)
{
    return PendingRead(reader, path).wait().first;
}

// Reads through the scripted helper, whose answers follow the request path ("/pid" answers its process id).
class ScriptedHelper : public ::testing::Test {
protected:
    void SetUp() override { SpaceHelper::setProgram(QStringLiteral(MALLOWBY_SCRIPTED_SPACE)); }
    void TearDown() override { SpaceHelper::setProgram(QStringLiteral(MALLOWBY_SPACE_HELPER)); }
    qint64 nextHelper(const SpaceReader& reader) { return readNow(reader, "/pid").value_or(Space{.total = -1}).total; }
};

} // namespace

TEST(SpaceHelper, AnswersAreReadStrictly)
{
    using Answer = std::optional<std::optional<Space>>;
    EXPECT_EQ(SpaceHelper::parse("1000 400"), Answer(Space{1000, 400, 400, false}));
    EXPECT_EQ(SpaceHelper::parse("9223372036854775807 0"), Answer(Space{INT64_MAX, 0, 0, false}));
    EXPECT_EQ(SpaceHelper::parse("error 2"), Answer(std::optional<Space>()));  // a failed read is an answer too
    for (const char* garbage : {"", "1000", "1000 400 5", "-1 5", "+1 5", " 1 5", "1 5 ", "1  5", "1 5\r",
                                "9223372036854775808 1", "1e3 4", "0x10 4", "error", "error x", "error -1", "banana"})
        EXPECT_EQ(SpaceHelper::parse(garbage), std::nullopt) << garbage;
}

TEST_F(ScriptedHelper, EachAnswerDecidesTheHelpersFate)
{
    // An answer in time or a failed read keeps the helper; a late answer is dropped and its helper
    // killed; garbage, a helper that dies or one killed by someone else fails the read at once.
    const struct {
        const char* path;
        std::chrono::milliseconds limit;
        std::optional<Space> want;
        bool kept, killed;
        qint64 minMs;
    } rows[] = {
        {"/answer/1000/400", 2s, Space{1000, 400, 400, false}, true, false, 0},
        {"/no such volume", 2s, std::nullopt, true, false, 0},
        {"/late/1500/7/7", 300ms, std::nullopt, false, false, 290},
        {"/garbage", 5s, std::nullopt, false, false, 0},
        {"/die", 5s, std::nullopt, false, false, 0},
        {"/hang", 5s, std::nullopt, false, true, 0},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.path);
        const SpaceReader reader{row.limit};
        const qint64 helper = nextHelper(reader);
        ASSERT_GT(helper, 0);
        PendingRead read(reader, row.path);
        if (row.killed)
            ::kill(pid_t(helper), SIGKILL);
        const auto [got, elapsed] = read.wait();
        EXPECT_EQ(got, row.want);
        EXPECT_GE(elapsed, row.minMs);
        EXPECT_LT(elapsed, 1000);
        if (!row.kept) {
            EXPECT_TRUE(TestEnvironment::waitUntil([&] { return ::kill(pid_t(helper), 0) != 0; }, 5s));
        }
        // The path is free once its helper is gone; a new helper serves the next read.
        EXPECT_TRUE(TestEnvironment::waitUntil([&] { return !SpaceReader::isInFlight(row.path); }, 2s));
        EXPECT_EQ(nextHelper(reader) == helper, row.kept);
    }
}

TEST(SpaceReader, NoHelperToStartIsAFailedReadButAnInjectedReadRuns)
{
    SpaceHelper::setProgram(QStringLiteral("/nonexistent/mallowby-space"));
    const auto [got, elapsed] = PendingRead(SpaceReader{2s}, "/").wait();
    EXPECT_EQ(got, std::nullopt);
    EXPECT_LT(elapsed, 500);
    EXPECT_FALSE(SpaceReader::isInFlight(QStringLiteral("/")));
    const Space figures{1000, 400, 400, false};
    EXPECT_EQ(readNow(SpaceReader{2s, [&](const QString&) { return std::optional(figures); }}, "/injected"), figures);
    SpaceHelper::setProgram(QStringLiteral(MALLOWBY_SPACE_HELPER));
}

TEST(SpaceReader, TheHelperReadsTheFiguresOfAnyPathAndFailsTheUnreadableAlone)
{
    QTemporaryDir dir;
    const SpaceReader reader{2s};
    struct statvfs info {};
    ASSERT_EQ(::statvfs(QFile::encodeName(dir.path()).constData(), &info), 0);
    const auto space = readNow(reader, dir.path());
    ASSERT_TRUE(space.has_value());
    EXPECT_EQ(space->total, qint64(info.f_blocks) * qint64(info.f_frsize));
    // What unprivileged users may still write, as statvfs says (other writers may move it a little).
    EXPECT_NEAR(double(space->available), double(qint64(info.f_bavail) * qint64(info.f_frsize)), 64.0 * 1024 * 1024);
    EXPECT_LE(space->available, space->total);
    EXPECT_FALSE(space->isStale);
    // Names with spaces, line breaks and non-ASCII letters pass the protocol intact; paths that
    // cannot be read fail alone, at once, and the next read is served.
    const QString odd = dir.filePath("a b\nc\tdé");
    ASSERT_TRUE(QDir().mkpath(odd));
    for (const auto& [path, readable] : QList<std::pair<QString, bool>>{{odd, true}, {dir.filePath("missing"), false},
                                                                       {"/" + QString(5000, 'x'), false},
                                                                       {dir.path() + QChar(0) + "x", false}, {"", false},
                                                                       {dir.path(), true}}) {
        const auto [got, elapsed] = PendingRead(reader, path).wait();
        EXPECT_EQ(got.has_value(), readable) << path.toStdString();
        EXPECT_EQ(got.value_or(Space{}).total, readable ? space->total : 0) << path.toStdString();
        EXPECT_LT(elapsed, 1000) << path.toStdString();
    }
}
