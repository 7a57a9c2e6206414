#include "Notifications/Notifier.h"

#include "Drives/Drive.h"

#include "NotifierRig.h"
#include "support/StdoutCapture.h"

#include <QSignalSpy>

#include <gtest/gtest.h>

using namespace mallowby;
using namespace mallowby::test;
using namespace std::chrono_literals;

namespace {

using Authorization = NotificationServer::Authorization;
using Notice = NotificationServer::Notice;

class FakeServer final : public NotificationServer {
public:
    QCoro::Task<Authorization> authorization() override
    {
        ++reads;
        const Authorization answer = status;
        if (delay)
            co_await Clock::system().sleep(*delay);
        co_return answer;
    }
    QCoro::Task<bool> requestAuthorization() override
    {
        ++requests;
        status = answer;
        co_return answer == Authorization::authorized;
    }
    void post(const Notice& notice) override { posted.append(notice); }
    std::optional<QStringList> settingsCommand() const override { return std::nullopt; }
    void setOnServerChanged(std::function<void()> callback) override { serverChanged = std::move(callback); }

    Authorization status = Authorization::authorized;
    std::optional<std::chrono::milliseconds> delay;  // how long a read of the status takes
    std::function<void()> serverChanged;
    Authorization answer = Authorization::authorized;
    int reads = 0;
    int requests = 0;
    QList<Notice> posted;
};

class NotifierTest : public ::testing::Test {
protected:
    void start(bool echo = false)
    {
        ASSERT_TRUE(rig.start(server, echo)) << rig.tree.error().toStdString();
    }

    NotifierRig rig;
    std::shared_ptr<FakeServer> server = std::make_shared<FakeServer>();
    static constexpr qint64 GB = NotifierRig::GB;
};

} // namespace

TEST_F(NotifierTest, AVolumeFallingLowIsAnnouncedOnceAndAgainOnlyAfterClimbingClear)
{
    rig.preferences->setNotifyLowSpace(true);
    start(true);
    EXPECT_EQ(rig.notifier->authorization(), Authorization::authorized);
    EXPECT_TRUE(server->posted.isEmpty());

    StdoutCapture capture;
    ASSERT_TRUE(rig.fill("/run/media/me/Backup", 500 * GB, 4'200'000'000));
    ASSERT_TRUE(rig.fill("/run/media/me/Backup", 500 * GB, 4'100'000'000));
    // Back above the threshold but inside the band: still low.
    ASSERT_TRUE(rig.fill("/run/media/me/Backup", 500 * GB, 54 * GB));
    ASSERT_TRUE(rig.fill("/run/media/me/Backup", 500 * GB, 3 * GB));
    const QString firstOut = capture.finish();

    ASSERT_EQ(server->posted.size(), 1);
    EXPECT_EQ(server->posted[0], (Notice{"low-space-/dev/sdb1", "Backup is low on space", "4.2 GB free of 500 GB, below 10 %.", false}));
    EXPECT_EQ(firstOut, "notification: Backup is low on space | 4.2 GB free of 500 GB, below 10 %. | authorization 2\n");

    // Clear of the band, then down again: a second notice under the same identifier.
    StdoutCapture laterCapture;
    ASSERT_TRUE(rig.fill("/run/media/me/Backup", 500 * GB, 56 * GB));
    rig.preferences->setUnits(ByteUnits::binary);
    ASSERT_TRUE(rig.fill("/run/media/me/Backup", 500 * GB, 2 * GB));
    ASSERT_EQ(server->posted.size(), 2);
    EXPECT_EQ(server->posted[1].identifier, "low-space-/dev/sdb1");
    EXPECT_EQ(server->posted[1].body, "1.9 GiB free of 466 GiB, below 10 %.");

    // A gigabyte threshold names itself in the body; changing it announces nothing by itself.
    rig.preferences->setLowSpaceThreshold(LowSpaceThreshold::gigabytes(500));
    rig.preferences->setUnits(ByteUnits::decimal);
    ASSERT_TRUE(rig.fill("/", 1000 * GB, 600 * GB));
    ASSERT_TRUE(rig.fill("/", 1000 * GB, 499 * GB));
    ASSERT_EQ(server->posted.size(), 3);
    EXPECT_EQ(server->posted[2], (Notice{"low-space-/dev/nvme0n1p2", "/ is low on space", "499 GB free of 1.0 TB, below 500 GB.", false}));
    EXPECT_EQ(laterCapture.finish().count(QStringLiteral("notification: ")), 2);
}

TEST_F(NotifierTest, TheWatchKeepsUpWhileNoticesAreOffAndHiddenKindsAreNeverWatched)
{
    start(true);
    StdoutCapture capture;
    ASSERT_TRUE(rig.fill("/run/media/me/Backup", 500 * GB, 1 * GB));
    ASSERT_TRUE(rig.fill("/mnt/share", 100 * GB, 1 * GB));
    EXPECT_EQ(rig.notifier->lowSpace().low.value(NotifierRig::backup), true);
    EXPECT_FALSE(rig.notifier->lowSpace().low.contains(NotifierRig::share));

    // Turning the notice on, or showing network shares, announces nothing already low.
    rig.preferences->setNotifyLowSpace(true);
    rig.preferences->setVolumesShown({VolumeKind::external, VolumeKind::network, VolumeKind::internal});
    ASSERT_TRUE(rig.fill("/mnt/share", 100 * GB, 0));
    EXPECT_EQ(rig.notifier->lowSpace().low.value(NotifierRig::share), true);
    // A threshold raised past a volume's figures announces nothing either.
    ASSERT_TRUE(rig.fill("/", 1000 * GB, 150 * GB));
    rig.preferences->setLowSpaceThreshold(LowSpaceThreshold::percent(20));
    ASSERT_TRUE(rig.fill("/", 1000 * GB, 149 * GB));
    // Hiding a kind again forgets its volumes; one that falls while hidden is not announced.
    rig.preferences->setVolumesShown({VolumeKind::internal});
    ASSERT_TRUE(rig.fill("/run/media/me/Backup", 500 * GB, 400 * GB));
    ASSERT_TRUE(rig.fill("/run/media/me/Backup", 500 * GB, 1 * GB));
    EXPECT_FALSE(rig.notifier->lowSpace().low.contains(NotifierRig::backup));
    const QString out = capture.finish();

    EXPECT_TRUE(server->posted.isEmpty());
    EXPECT_EQ(out, "");
}

TEST_F(NotifierTest, WhileTheNoticeIsOnNearVolumesAreReadEveryTwoSecondsAndTheRestEveryHalfMinute)
{
    start();
    const QString backup = "/run/media/me/Backup";
    // The volumes read in each 2-second step (once each: two timers due at one instant may
    // both read a volume whose first read already returned).
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
    // Off: nothing reads the figures.
    EXPECT_EQ(readsAfter(60s), QStringList{});

    // On, at 10 %: the backup has 50 GB above its threshold, near; / has 300 GB, far; the share is
    // not shown. An unchanged read publishes nothing.
    rig.preferences->setNotifyLowSpace(true);
    const int publications = rig.publications;
    EXPECT_EQ(readsAfter(2s), QStringList{backup});
    EXPECT_EQ(readsAfter(26s), QStringList(13, backup));
    EXPECT_EQ(readsAfter(2s), (QStringList{"/", backup}));
    EXPECT_EQ(rig.publications, publications);

    // A fall is announced at the next near read. New figures alone do not rebuild the drives (a
    // rebuild would take the stick's new attachment number as its id).
    rig.tree.setAttribute("sdb", "diskseq", "99\n");
    rig.setSpace(backup, 500 * GB, 1 * GB);
    EXPECT_EQ(readsAfter(2s), QStringList{backup});
    ASSERT_TRUE(TestEnvironment::waitUntil([&] { return server->posted.size() == 1; }, 5s));
    EXPECT_EQ(server->posted[0].title, "Backup is low on space");
    rig.settle();
    EXPECT_NE(rig.monitor->drive("12"), nullptr);

    // Far from the threshold again: back to the half-minute reads.
    rig.setSpace(backup, 500 * GB, 400 * GB);
    EXPECT_EQ(readsAfter(2s), QStringList{backup});
    EXPECT_EQ(readsAfter(24s), QStringList{});
    EXPECT_EQ(readsAfter(2s), (QStringList{"/", backup}));

    rig.preferences->setNotifyLowSpace(false);
    EXPECT_EQ(readsAfter(60s), QStringList{});
}

TEST_F(NotifierTest, FinishedTransfersPostUnderIdentifiersOfTheirOwn)
{
    rig.preferences->setNotifyTransferFinished(true);
    start();
    Drive drive;
    drive.id = "12";
    drive.name = "Samsung T7";
    rig.notifier->transferFinished(drive, FinishedTransfer{12'300'000'000, 125s});
    rig.notifier->transferFinished(drive, FinishedTransfer{12'300'000'000, 125s});
    // Counts beyond the signed range are shown as the largest signed size.
    rig.notifier->transferFinished(drive, FinishedTransfer{std::numeric_limits<quint64>::max(), 3h + 59min + 59s + 600ms});
    ASSERT_EQ(server->posted.size(), 3);
    EXPECT_TRUE(server->posted[0].identifier.startsWith("transfer-12-"));
    EXPECT_NE(server->posted[0].identifier, server->posted[1].identifier);
    EXPECT_TRUE(server->posted[0].withSound);
    EXPECT_EQ(server->posted[2].body, "9223 PB in 4 hr.");
    rig.preferences->setNotifyTransferFinished(false);
    rig.notifier->transferFinished(drive, FinishedTransfer{2'000'000'000, 10s});
    EXPECT_EQ(server->posted.size(), 3);
}

TEST_F(NotifierTest, TheDriveMonitorsLargeWritesReachTheNotifierUntilItIsGone)
{
    rig.preferences->setNotifyTransferFinished(true);
    start();
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
    rig.tree.setCounters("sdb", stick);
    rig.clock.advance(1s);

    // 1 953 124 sectors are 999 999 488 bytes: not a large write.
    write(488'281, 4);
    write(0, 11);
    EXPECT_TRUE(server->posted.isEmpty());

    // One sector more is exactly 1 000 000 000 bytes.
    write(488'282, 1);
    write(488'281, 3);
    write(0, 11);
    ASSERT_EQ(server->posted.size(), 1);
    EXPECT_EQ(server->posted[0].title, "Finished writing to SanDisk Cruzer Blade");
    EXPECT_EQ(server->posted[0].body, "1.0 GB in 4 sec.");

    // Without the notifier, the monitor's callback does nothing.
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
    EXPECT_EQ(server->reads, 1);

    // Undetermined: ask, then read what the answer left.
    server->answer = Authorization::denied;
    TestEnvironment::await([&]() -> QCoro::Task<bool> {
        co_await rig.notifier->requestAuthorization();
        co_return true;
    }());
    EXPECT_EQ(server->requests, 1);
    EXPECT_EQ(server->reads, 3);
    EXPECT_EQ(rig.notifier->authorization(), Authorization::denied);
    EXPECT_EQ(changes.size(), 1);

    // Decided: a request only reads the status again, and an unchanged one says nothing.
    TestEnvironment::await([&]() -> QCoro::Task<bool> {
        co_await rig.notifier->requestAuthorization();
        co_return true;
    }());
    EXPECT_EQ(server->requests, 1);
    EXPECT_EQ(server->reads, 4);
    EXPECT_EQ(changes.size(), 1);
}

TEST(NotifierText, DurationsShowTheTwoLargestUnitsThatAreNotZero)
{
    EXPECT_EQ(Notifier::durationText(0s), "0 sec");
    EXPECT_EQ(Notifier::durationText(-5s), "0 sec");
    EXPECT_EQ(Notifier::durationText(499ms), "0 sec");
    EXPECT_EQ(Notifier::durationText(500ms), "1 sec");
    EXPECT_EQ(Notifier::durationText(125s), "2 min, 5 sec");
    EXPECT_EQ(Notifier::durationText(120s), "2 min");
    EXPECT_EQ(Notifier::durationText(1h + 5s), "1 hr, 5 sec");
    EXPECT_EQ(Notifier::durationText(2h + 3min + 4s), "2 hr, 3 min");
    EXPECT_EQ(Notifier::durationText(59min + 59s + 500ms), "1 hr");
    EXPECT_EQ(Notifier::durationText(30h + 1min), "30 hr, 1 min");
}

TEST(NotifierText, TransferIdentifiersCarryTheTimeInShortestForm)
{
    EXPECT_EQ(Notifier::transferIdentifier("12", 1712345678.125), "transfer-12-1712345678.125");
    EXPECT_EQ(Notifier::transferIdentifier("1+2", 1712345678.0), "transfer-1+2-1712345678.0");
    EXPECT_EQ(Notifier::transferIdentifier("7", 0.1), "transfer-7-0.1");
}

TEST_F(NotifierTest, ANoticePostedWhileANewServerIsAskedWaitsForItsAnswer)
{
    server->status = Authorization::denied;
    rig.preferences->setNotifyTransferFinished(true);
    start();
    ASSERT_TRUE(TestEnvironment::waitUntil([&] { return rig.notifier->authorization() == Authorization::denied; }, 5s));
    ASSERT_TRUE(server->serverChanged);
    Drive drive;
    drive.id = "3";
    drive.name = "Stick";

    // A server appears; a transfer ends while it is being asked.
    server->status = Authorization::authorized;
    server->delay = 200ms;
    server->serverChanged();
    rig.notifier->transferFinished(drive, FinishedTransfer{1'000'000'000, 3s});
    EXPECT_TRUE(server->posted.isEmpty());
    ASSERT_TRUE(TestEnvironment::waitUntil([&] { return server->posted.size() == 1; }, 5s));
    EXPECT_EQ(server->posted[0].title, "Finished writing to Stick");

    // It goes away; a read that answers "denied" drops what waited for it.
    server->status = Authorization::denied;
    server->serverChanged();
    ASSERT_TRUE(TestEnvironment::waitUntil([&] { return rig.notifier->authorization() == Authorization::denied; }, 5s));
    server->serverChanged();
    rig.notifier->transferFinished(drive, FinishedTransfer{2'000'000'000, 3s});
    TestEnvironment::waitUntil([] { return false; }, 500ms);
    EXPECT_EQ(server->posted.size(), 1);
}
