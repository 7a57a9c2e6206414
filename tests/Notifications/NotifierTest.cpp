#include "Notifications/FlushNotices.h"
#include "Notifications/Notifier.h"

#include "Drives/Drive.h"

#include "NotifierRig.h"
#include "support/FlushRig.h"

#include <QSignalSpy>

#include <gtest/gtest.h>

using namespace mallowby;
using namespace mallowby::test;
using namespace std::chrono_literals;

namespace {

using Authorization = NotificationServer::Authorization;
using Notice = NotificationServer::Notice;

class NotifierTest : public ::testing::Test {
protected:
    void start() { ASSERT_TRUE(rig.start(server)) << rig.tree.error().toStdString(); }
    bool fill(const QString& path, qint64 total, qint64 available) { return rig.fill(path, total * GB, available); }
    QStringList titles() const
    {
        QStringList list;
        for (const Notice& notice : server->posted)
            list << notice.title;
        return list;
    }

    NotifierRig rig;
    std::shared_ptr<FakeServer> server = std::make_shared<FakeServer>();
    const Drive drive = [] {
        Drive d;
        d.id = "3";
        d.name = "Stick";
        return d;
    }();
    static constexpr qint64 GB = NotifierRig::GB;
    const QString backup = QStringLiteral("/run/media/me/Backup");
};

} // namespace

TEST_F(NotifierTest, AVolumeFallingLowIsAnnouncedOnceAndAgainOnlyAfterClimbingClear)
{
    rig.preferences->setNotifyLowSpace(true);
    start();
    // Down, lower, back above the threshold but inside the band, down again: one notice.
    for (const qint64 available : {4'200'000'000ll, 4'100'000'000ll, 54 * GB, 3 * GB})
        ASSERT_TRUE(fill(backup, 500, available));
    // Clear of the band, then down again: a second notice under the same identifier.
    ASSERT_TRUE(fill(backup, 500, 56 * GB));
    rig.preferences->setUnits(ByteUnits::binary);
    ASSERT_TRUE(fill(backup, 500, 2 * GB));
    // A gigabyte threshold names itself in the body; changing it announces nothing by itself.
    rig.preferences->setLowSpaceThreshold(LowSpaceThreshold::gigabytes(500));
    rig.preferences->setUnits(ByteUnits::decimal);
    ASSERT_TRUE(fill("/", 1000, 600 * GB));
    ASSERT_TRUE(fill("/", 1000, 499 * GB));
    EXPECT_EQ(server->posted, (QList<Notice>{{"low-space-/dev/sdb1", "Backup is low on space", "4.2 GB free of 500 GB, below 10 %.", false},
                                             {"low-space-/dev/sdb1", "Backup is low on space", "1.9 GiB free of 466 GiB, below 10 %.", false},
                                             {"low-space-/dev/nvme0n1p2", "/ is low on space", "499 GB free of 1.0 TB, below 500 GB.", false}}));
}

TEST_F(NotifierTest, TheWatchKeepsUpWhileNoticesAreOffAndHiddenKindsAreNeverWatched)
{
    start();
    ASSERT_TRUE(fill(backup, 500, 1 * GB));
    ASSERT_TRUE(fill("/mnt/share", 100, 1 * GB));
    EXPECT_EQ(rig.notifier->lowSpace().low.value(NotifierRig::backup), true);
    EXPECT_FALSE(rig.notifier->lowSpace().low.contains(NotifierRig::share));
    // Turning the notice on, showing shares or raising the threshold announces nothing already low.
    rig.preferences->setNotifyLowSpace(true);
    rig.preferences->setVolumesShown({VolumeKind::external, VolumeKind::network, VolumeKind::internal});
    ASSERT_TRUE(fill("/mnt/share", 100, 0));
    EXPECT_EQ(rig.notifier->lowSpace().low.value(NotifierRig::share), true);
    ASSERT_TRUE(fill("/", 1000, 150 * GB));
    rig.preferences->setLowSpaceThreshold(LowSpaceThreshold::percent(20));
    ASSERT_TRUE(fill("/", 1000, 149 * GB));
    // Hiding a kind again forgets its volumes; one that falls while hidden is not announced.
    rig.preferences->setVolumesShown({VolumeKind::internal});
    ASSERT_TRUE(fill(backup, 500, 400 * GB));
    ASSERT_TRUE(fill(backup, 500, 1 * GB));
    EXPECT_FALSE(rig.notifier->lowSpace().low.contains(NotifierRig::backup));
    EXPECT_EQ(titles(), QStringList{});
}

TEST_F(NotifierTest, WhileTheNoticeIsOnNearVolumesAreReadEveryTwoSecondsAndTheRestEveryHalfMinute)
{
    start();
    // The volumes read in each 2-second step, each once (two timers due at one instant may both read one).
    const auto readsAfter = [&](std::chrono::seconds time) {
        QStringList read;
        for (auto elapsed = 0s; elapsed < time; elapsed += 2s) {
            QHash<QString, int> before;
            for (const QString& path : {backup, QStringLiteral("/"), QStringLiteral("/mnt/share")})
                before.insert(path, rig.capacities.reads(path));
            rig.clock.advance(2s);
            rig.settleReads();
            for (auto it = before.cbegin(); it != before.cend(); ++it)
                if (rig.capacities.reads(it.key()) > it.value())
                    read << it.key();
        }
        read.sort();
        return read;
    };
    EXPECT_EQ(readsAfter(60s), QStringList{}) << "off: nothing reads the figures";
    // On, at 10 %: the backup (50 GB above) is near, / (300 GB above) far, the share hidden; unchanged reads publish nothing.
    rig.preferences->setNotifyLowSpace(true);
    const int publications = rig.publications;
    EXPECT_EQ(readsAfter(28s), QStringList(14, backup));
    EXPECT_EQ(readsAfter(2s), (QStringList{"/", backup}));
    EXPECT_EQ(rig.publications, publications);
    // A fall is announced at the next near read; new figures alone rebuild no drive (it would take the new diskseq as id).
    rig.tree.setAttribute("sdb", "diskseq", "99\n");
    rig.setSpace(backup, 500 * GB, 1 * GB);
    EXPECT_EQ(readsAfter(2s), QStringList{backup});
    ASSERT_TRUE(TestEnvironment::waitUntil([&] { return server->posted.size() == 1; }, 5s));
    rig.settle();
    EXPECT_NE(rig.monitor->drive("12"), nullptr);
    // Far from the threshold again: back to the half-minute reads.
    rig.setSpace(backup, 500 * GB, 400 * GB);
    EXPECT_EQ(readsAfter(26s), QStringList{backup});
    EXPECT_EQ(readsAfter(2s), (QStringList{"/", backup}));
    rig.preferences->setNotifyLowSpace(false);
    EXPECT_EQ(readsAfter(60s), QStringList{});
}

TEST_F(NotifierTest, LargeWritesOfTheDriveMonitorAreAnnouncedUnderIdentifiersOfTheirOwn)
{
    rig.preferences->setNotifyTransferFinished(true);
    start();
    rig.notifier->transferFinished(drive, FinishedTransfer{12'300'000'000, 125s});
    // Counts beyond the signed range are shown as the largest signed size.
    rig.notifier->transferFinished(drive, FinishedTransfer{std::numeric_limits<quint64>::max(), 3h + 59min + 59s + 600ms});
    ASSERT_EQ(server->posted.size(), 2);
    EXPECT_TRUE(server->posted[0].identifier.startsWith("transfer-3-"));
    EXPECT_NE(server->posted[0].identifier, server->posted[1].identifier);
    EXPECT_EQ(server->posted[0], (Notice{server->posted[0].identifier, "Finished writing to Stick", "12.3 GB in 2 min, 5 sec.", true}));
    EXPECT_EQ(server->posted[1].body, "9223 PB in 4 hr.");
    server->posted.clear();

    ASSERT_NE(rig.monitor->drive("12"), nullptr);
    rig.monitor->setDetailed(true);
    IOCounters stick;
    const auto write = [&](quint64 sectors, int seconds) {
        for (int i = 0; i < seconds; ++i) {
            stick.bytesWritten += sectors * 512;
            rig.tree.setCounters("sdb", stick);
            rig.clock.advance(1s);
            QCoreApplication::processEvents();
        }
    };
    write(0, 1);
    // 1 953 124 sectors are 999 999 488 bytes: not a large write; one sector more is.
    write(488'281, 4);
    write(0, 11);
    write(488'282, 1);
    write(488'281, 3);
    write(0, 11);
    EXPECT_EQ(server->posted.value(0).title + " | " + server->posted.value(0).body, "Finished writing to SanDisk Cruzer Blade | 1.0 GB in 4 sec.");
    // Switched off, or without the notifier, nothing more is posted.
    rig.preferences->setNotifyTransferFinished(false);
    rig.notifier->transferFinished(drive, FinishedTransfer{2'000'000'000, 10s});
    rig.preferences->setNotifyTransferFinished(true);
    rig.notifier.reset();
    write(488'282, 4);
    write(0, 11);
    EXPECT_EQ(server->posted.size(), 1);
}

TEST_F(NotifierTest, AuthorizationIsReadAtStartAndRequestedOnlyWhileUndetermined)
{
    server->status = Authorization::notDetermined;
    start();
    QSignalSpy changes(rig.notifier.get(), &Notifier::authorizationChanged);
    EXPECT_EQ(rig.notifier->authorization(), Authorization::notDetermined);
    server->answer = Authorization::denied;
    // Undetermined: ask, then read the answer; decided: only read again, and an unchanged status says nothing.
    for (const auto& [requests, reads] : {std::pair{1, 3}, std::pair{1, 4}}) {
        TestEnvironment::await([](Notifier& n) -> QCoro::Task<bool> {
            co_await n.requestAuthorization();
            co_return true;
        }(*rig.notifier));
        EXPECT_EQ(std::tuple(server->requests, server->reads, rig.notifier->authorization(), changes.size()),
                  std::tuple(requests, reads, Authorization::denied, 1));
    }
}

TEST_F(NotifierTest, ANoticePostedWhileANewServerIsAskedWaitsForItsAnswer)
{
    server->status = Authorization::denied;
    rig.preferences->setNotifyTransferFinished(true);
    start();
    ASSERT_TRUE(TestEnvironment::waitUntil([&] { return rig.notifier->authorization() == Authorization::denied; }, 5s));
    ASSERT_TRUE(server->serverChanged);
    // A server appears; a transfer ends while it is being asked.
    server->status = Authorization::authorized;
    server->delay = 200ms;
    server->serverChanged();
    rig.notifier->transferFinished(drive, FinishedTransfer{1'000'000'000, 3s});
    EXPECT_TRUE(server->posted.isEmpty());
    ASSERT_TRUE(TestEnvironment::waitUntil([&] { return server->posted.size() == 1; }, 5s));
    // It goes away; a read that answers "denied" drops what waited for it.
    server->status = Authorization::denied;
    server->serverChanged();
    ASSERT_TRUE(TestEnvironment::waitUntil([&] { return rig.notifier->authorization() == Authorization::denied; }, 5s));
    server->serverChanged();
    rig.notifier->transferFinished(drive, FinishedTransfer{2'000'000'000, 3s});
    EXPECT_FALSE(TestEnvironment::waitUntil([&] { return server->posted.size() > 1; }, 500ms));
    EXPECT_EQ(titles(), QStringList{"Finished writing to Stick"});
}

TEST(NotifierText, DurationsAndTransferIdentifiers)
{
    for (const auto& [duration, text] : std::vector<std::pair<std::chrono::milliseconds, const char*>>{
             {0s, "0 sec"}, {-5s, "0 sec"}, {499ms, "0 sec"}, {500ms, "1 sec"}, {125s, "2 min, 5 sec"}, {120s, "2 min"}, {1h + 5s, "1 hr, 5 sec"},
             {2h + 3min + 4s, "2 hr, 3 min"}, {59min + 59s + 500ms, "1 hr"}, {30h + 1min, "30 hr, 1 min"}})
        EXPECT_EQ(Notifier::durationText(duration), text) << duration.count();
    EXPECT_EQ(Notifier::transferIdentifier("12", 1712345678.125), "transfer-12-1712345678.125");
    EXPECT_EQ(Notifier::transferIdentifier("1+2", 1712345678.0), "transfer-1+2-1712345678.0");
    EXPECT_EQ(Notifier::transferIdentifier("7", 0.1), "transfer-7-0.1");
}

namespace {

// The notices of a held eject of a fixture stick that starts with 300 MB in the cache.
class FlushNoticesTest : public NotifierTest {
protected:
    void SetUp() override
    {
        ASSERT_TRUE(flush.isReady());
        rig.preferences->setNotifyTransferFinished(true);
        start();
        notices = std::make_unique<FlushNotices>(*flush.watch, *rig.notifier, *rig.preferences, rig.clock);
        startEject();
    }
    void startEject()
    {
        *flush.ejected = std::nullopt;
        flush.setWritten(written);
        flush.setPending(pending = 300 * MB);
        flush.eject(flush.stick);
    }
    // The drive writes 10 MB every half second, `steps` times, and the cache shrinks by as much.
    void write(int steps)
    {
        for (int i = 0; i < steps; ++i) {
            flush.setWritten(written += 10 * MB);
            flush.setPending(pending -= 10 * MB);
            rig.clock.advance(500ms);
        }
    }
    // The unmount returns; true once the eject has answered.
    bool release()
    {
        flush.release();
        return TestEnvironment::waitUntil([&] { return flush.ejected->has_value(); }, 2s);
    }
    // "title | body" of each notice, every one under the stick's identifier.
    QStringList shown() const
    {
        QStringList list;
        for (const Notice& notice : server->posted)
            list << (notice.identifier == FlushNotices::identifier("12") ? "" : "elsewhere: ") + notice.title + " | " + notice.body
                        + (notice.withSound ? " (sound)" : "");
        return list;
    }

    static constexpr quint64 MB = FlushRig::MB;
    FlushRig flush{rig.clock};
    std::unique_ptr<FlushNotices> notices;
    quint64 written = 0, pending = 0;
};

} // namespace

TEST_F(FlushNoticesTest, AnEjectWritingForMoreThanASecondAndAHalfIsAnnouncedThenReplacedWhenItCanBeUnplugged)
{
    // Shown 1.5 s after the first rate (second sample), replaced as the figure falls, at most once a second.
    for (const auto& [steps, count] : {std::pair{4, 0}, std::pair{1, 1}, std::pair{2, 2}, std::pair{2, 3}, std::pair{1, 3}}) {
        write(steps);
        EXPECT_EQ(server->posted.size(), count) << "after " << written / MB << " MB";
    }
    ASSERT_TRUE(release());
    EXPECT_EQ(shown(), (QStringList{"Writing data to Stick | Don't unplug it until this finishes. 250 MB left, about 13 s.",
                                    "Writing data to Stick | Don't unplug it until this finishes. 230 MB left, about 12 s.",
                                    "Writing data to Stick | Don't unplug it until this finishes. 210 MB left, about 11 s.",
                                    "Stick can be unplugged |  (sound)"}));
    EXPECT_TRUE(server->withdrawn.isEmpty());
}

TEST_F(FlushNoticesTest, AFailedEjectTakesItsNoticeDownAndAShortOneShowsNone)
{
    flush.disks->unmountAnswer = Dissent{Dissent::unknownError, QStringLiteral("I/O error")};
    write(5);
    ASSERT_TRUE(release());
    EXPECT_EQ(server->withdrawn, QStringList{FlushNotices::identifier("12")});
    // Writing for 1.5 s and no more, then ejected: nothing to announce.
    flush.disks->unmountAnswer.reset();
    startEject();
    write(4);
    ASSERT_TRUE(release());
    EXPECT_EQ(server->posted.size(), 1);
}

TEST_F(FlushNoticesTest, NothingIsShownWithTheTransferSwitchOffButAShownNoticeIsConcluded)
{
    rig.preferences->setNotifyTransferFinished(false);
    write(8);
    EXPECT_TRUE(server->posted.isEmpty());
    // Turned on during the eject: shown; turned off again: the end is still told.
    rig.preferences->setNotifyTransferFinished(true);
    write(1);
    EXPECT_EQ(server->posted.size(), 1);
    rig.preferences->setNotifyTransferFinished(false);
    write(4);
    ASSERT_TRUE(release());
    EXPECT_EQ(shown().value(1), "Stick can be unplugged |  (sound)");
}
