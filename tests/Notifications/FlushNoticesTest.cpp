#include "Notifications/FlushNotices.h"
#include "Platform/Linux/LinuxNotificationServer.h"

#include "NotifierRig.h"
#include "support/FlushRig.h"
#include "support/PrivateSessionBus.h"

#include <gtest/gtest.h>

using namespace mallowby;
using namespace mallowby::test;
using namespace std::chrono_literals;

namespace {

constexpr quint64 MB = FlushRig::MB;

// An eject of a fixture stick whose unmount the test holds, a notifier, and dbusmock's notification daemon on a private session bus.
class FlushNoticesTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        if (const auto missing = bus.unavailable())
            GTEST_SKIP() << missing->toStdString();
        ASSERT_TRUE(bus.startDaemon()) << bus.daemonError().toStdString();
        ASSERT_TRUE(flush.isReady());
        rig.preferences->setNotifyTransferFinished(true);
        server = std::make_shared<LinuxNotificationServer>(bus.connection());
        ASSERT_TRUE(rig.start(server, true)) << rig.tree.error().toStdString();
        ASSERT_TRUE(TestEnvironment::waitUntil(
            [&] { return rig.notifier->authorization() == NotificationServer::Authorization::authorized; }, 5s));
        notices = std::make_unique<FlushNotices>(*flush.watch, *rig.notifier, *rig.preferences, rig.clock);
    }

    // The drive writes `perStep` every half second, `steps` times, and the cache shrinks by as much.
    void write(int steps, quint64 perStep = 10 * MB)
    {
        for (int i = 0; i < steps; ++i) {
            written += perStep;
            pending -= std::min(pending, perStep);
            flush.setWritten(written);
            flush.setPending(pending);
            rig.clock.advance(500ms);
        }
    }
    // The unmount returns; true once the eject has answered.
    bool release()
    {
        flush.release();
        return TestEnvironment::waitUntil([&] { return flush.ejected->has_value(); }, 2s);
    }
    void settle() { TestEnvironment::waitUntil([] { return false; }, 300ms); }
    // The eject starts with the drive's counter at `written` and the cache at `pending`.
    void startEject()
    {
        flush.setWritten(written);
        flush.setPending(pending);
        flush.eject(flush.stick);
    }
    // The server's id of the notice shown for the stick, once it is known.
    std::optional<uint> shownID()
    {
        TestEnvironment::waitUntil([&] { return server->serverID(FlushNotices::identifier("12")).has_value(); }, 5s);
        return server->serverID(FlushNotices::identifier("12"));
    }

    PrivateSessionBus bus;
    NotifierRig rig;
    FlushRig flush{rig.clock};
    std::shared_ptr<LinuxNotificationServer> server;
    std::unique_ptr<FlushNotices> notices;
    quint64 written = 0;
    quint64 pending = 300 * MB;
};

} // namespace

TEST_F(FlushNoticesTest, AnEjectWritingForMoreThanASecondAndAHalfIsAnnouncedThenReplacedWhenItCanBeUnplugged)
{
    startEject();
    // The first rate comes with the second sample; 1.5 s after that nothing is shown yet.
    write(4);
    settle();
    EXPECT_TRUE(bus.notifyCalls().isEmpty());
    // Past 1.5 s of writing: shown, then replaced as the figure falls, at most once a second.
    write(1);
    ASSERT_TRUE(waitForCalls(bus, 1));
    ASSERT_TRUE(shownID());
    write(2);
    ASSERT_TRUE(waitForCalls(bus, 2));
    write(2);
    ASSERT_TRUE(waitForCalls(bus, 3));
    write(1);
    settle();
    ASSERT_TRUE(release());
    ASSERT_TRUE(waitForCalls(bus, 4));

    const QList<NotifyCall> calls = bus.notifyCalls();
    ASSERT_EQ(calls.size(), 4);
    EXPECT_EQ(calls[0].title, "Writing data to Stick");
    EXPECT_EQ(calls[0].body, "Don't unplug it until this finishes. 250 MB left, about 13 s.");
    EXPECT_EQ(calls[0].replacesID, 0u);
    EXPECT_TRUE(calls[0].hints.isEmpty());
    EXPECT_EQ(calls[1].body, "Don't unplug it until this finishes. 230 MB left, about 12 s.");
    EXPECT_EQ(calls[2].body, "Don't unplug it until this finishes. 210 MB left, about 11 s.");
    EXPECT_EQ(calls[3].title, "Stick can be unplugged");
    EXPECT_EQ(calls[3].body, "");
    EXPECT_EQ(calls[3].hints.value("sound-name").toString(), "complete");
    for (qsizetype i = 1; i < calls.size(); ++i)
        EXPECT_EQ(calls[i].replacesID, server->serverID(FlushNotices::identifier("12")).value_or(0)) << i;
    EXPECT_NE(calls[3].replacesID, 0u);
}

TEST_F(FlushNoticesTest, AFailedEjectTakesItsNoticeDownAndAShortOneShowsNone)
{
    flush.disks->unmountAnswer = Dissent{Dissent::unknownError, QStringLiteral("I/O error")};
    startEject();
    write(5);
    ASSERT_TRUE(waitForCalls(bus, 1));
    const auto shown = shownID();
    ASSERT_TRUE(shown);
    ASSERT_TRUE(release());
    ASSERT_TRUE(TestEnvironment::waitUntil([&] { return !bus.closeCalls().isEmpty(); }, 5s));
    EXPECT_EQ(bus.closeCalls(), QList<uint>{*shown});
    EXPECT_EQ(bus.notifyCalls().size(), 1);
    EXPECT_FALSE(server->serverID(FlushNotices::identifier("12")));

    // Writing for 1.5 s and no more, then ejected: nothing to announce.
    *flush.ejected = std::nullopt;
    flush.disks->unmountAnswer.reset();
    startEject();
    write(4);
    ASSERT_TRUE(release());
    settle();
    EXPECT_EQ(bus.notifyCalls().size(), 1);
}

TEST_F(FlushNoticesTest, NothingIsShownWithTheTransferSwitchOffButAShownNoticeIsConcluded)
{
    rig.preferences->setNotifyTransferFinished(false);
    startEject();
    write(8);
    settle();
    EXPECT_TRUE(bus.notifyCalls().isEmpty());

    // Turned on during the eject: shown; turned off again: the end is still told.
    rig.preferences->setNotifyTransferFinished(true);
    write(1);
    ASSERT_TRUE(waitForCalls(bus, 1));
    rig.preferences->setNotifyTransferFinished(false);
    write(4);
    ASSERT_TRUE(release());
    ASSERT_TRUE(waitForCalls(bus, 2));
    EXPECT_EQ(bus.notifyCalls().last().title, "Stick can be unplugged");
}
