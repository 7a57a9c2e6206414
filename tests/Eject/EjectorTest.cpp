#include "support/EjectorRig.h"

#include <QSignalSpy>

#include <gtest/gtest.h>

#include <csignal>

using namespace mallowby;
using namespace mallowby::test;

namespace {

class EjectorTest : public ::testing::Test, protected EjectorRig {};

} // namespace

TEST_F(EjectorTest, ASuccessfulEjectLeavesNoStatus)
{
    EXPECT_EQ(run(ejector->eject(usb, false)), true);
    EXPECT_TRUE(ejector->statuses().isEmpty());
    EXPECT_TRUE(ejector->log().isEmpty());
    EXPECT_EQ(disks->calls, (QStringList{"unmount sdb", "eject sdb"}));
}

TEST_F(EjectorTest, ASecondPressWhileEjectingReturnsFalseAndLeavesTheFirstRunning)
{
    disks->gate = OneShot<bool>::make();
    std::optional<bool> first;
    [](Ejector& e, EjectTarget t, std::optional<bool>& out) -> QCoro::Task<> { out = co_await e.eject(t, false); }(*ejector, usb, first);
    ASSERT_EQ(ejector->status("12")->phase, Ejector::Phase::ejecting);
    EXPECT_EQ(run(ejector->eject(usb, false)), false);
    EXPECT_EQ(disks->calls, (QStringList{"unmount sdb"}));
    disks->gate->complete(true);
    ASSERT_TRUE(TestEnvironment::waitUntil([&] { return first.has_value(); }, std::chrono::seconds(2)));
    EXPECT_EQ(first, true);
}

TEST_F(EjectorTest, TheLogKeepsTheNewestTwenty)
{
    disks->unmountAnswers["sdb"] = Dissent{Dissent::notPermitted, QStringLiteral("policy")};
    for (int i = 0; i < 21; ++i) {
        EjectTarget target = usb;
        target.name = QStringLiteral("try %1").arg(i);
        run(ejector->eject(target, false));
    }
    ASSERT_EQ(ejector->log().size(), 20);
    EXPECT_EQ(ejector->log().first().targetName, "try 1");
    EXPECT_EQ(ejector->log().last().targetName, "try 20");
    EXPECT_EQ(ejector->log().last().failure, EjectFailure::notPermitted(QStringLiteral("policy")));
    EXPECT_EQ(ejector->log().last().kind, VolumeKind::external);
}

TEST_F(EjectorTest, RefusalsOtherThanBusyGetNoScanAndNoWatchers)
{
    for (const Dissent& dissent : {Dissent{Dissent::exclusiveAccess, std::nullopt}, Dissent{Dissent::notPermitted, QStringLiteral("x")}}) {
        disks->unmountAnswers["sdb"] = dissent;
        EXPECT_EQ(run(ejector->eject(usb, false)), false);
        const auto* status = ejector->status("12");
        ASSERT_NE(status, nullptr);
        EXPECT_EQ(status->phase, Ejector::Phase::idle);
        EXPECT_EQ(status->failure, EjectFailure::from(dissent));
        EXPECT_FALSE(status->report.has_value());
        EXPECT_EQ(status->stillMounted, QStringList{"usb"});
        EXPECT_TRUE(scanned.isEmpty());
        EXPECT_FALSE(ejector->isWatching("12"));
    }
    EXPECT_FALSE(ejector->lastScan().has_value());
}

TEST_F(EjectorTest, BusyScansWatchesAndRetriesOnceEveryBlockerHasExited)
{
    disks->unmountAnswers["sdb"] = Dissent{Dissent::busy, std::nullopt};
    nextReport.blockers = {blocker(501, "bash"), blocker(502, "vim")};
    nextReport.processCount = 40;
    EXPECT_EQ(run(ejector->eject(usb, false)), false);

    ASSERT_EQ(scanned.size(), 1);
    EXPECT_EQ(scanned[0], (ScanTarget{{0x810}, {"/media/usb"}, {"sdb"}}));
    const auto* status = ejector->status("12");
    EXPECT_EQ(status->phase, Ejector::Phase::idle);
    EXPECT_EQ(status->failure, EjectFailure::busy());
    EXPECT_EQ(status->report, nextReport);
    EXPECT_EQ(ejector->lastScan(), Ejector::ScanSummary::of(nextReport));
    EXPECT_EQ(ejector->awaitedProcesses("12"), (QSet<qint32>{501, 502}));

    // The holders go away; the drive is no longer busy; the ejector tries again by itself.
    disks->unmountAnswers.remove("sdb");
    processes->exit(501);
    settle();
    EXPECT_NE(ejector->status("12"), nullptr);
    processes->exit(502);
    ASSERT_TRUE(TestEnvironment::waitUntil([&] { return ejector->status("12") == nullptr; }, std::chrono::seconds(2)));
    EXPECT_EQ(disks->calls.last(), "eject sdb");
}

TEST_F(EjectorTest, ABlockerGoneBeforeItsWatchIsCaughtByTheProbeAfterTheEjectAnswered)
{
    disks->unmountAnswers["sdb"] = Dissent{Dissent::busy, std::nullopt};
    queued = {BlockerReport{{blocker(601, "short-lived")}, {}, false, 30, {}}};
    processes->gone.insert(601);
    std::optional<bool> ejected;
    std::optional<Ejector::Status> whenAnswered;
    [](Ejector& e, EjectTarget t, std::optional<bool>& out, std::optional<Ejector::Status>& seen) -> QCoro::Task<> {
        out = co_await e.eject(t, false);
        seen = *e.status(t.id);
    }(*ejector, usb, ejected, whenAnswered);
    // The eject answers with the busy outcome and its report, not with a retry under way.
    ASSERT_EQ(ejected, false);
    EXPECT_EQ(whenAnswered->phase, Ejector::Phase::idle);
    EXPECT_EQ(whenAnswered->failure, EjectFailure::busy());
    ASSERT_TRUE(whenAnswered->report.has_value());
    EXPECT_EQ(whenAnswered->report->blockers.size(), 1);
    EXPECT_EQ(disks->calls.count("unmount sdb"), 1);
    // Not awaited forever: the retry runs on the next turn.
    settle();
    EXPECT_EQ(disks->calls.count("unmount sdb"), 2);
    EXPECT_TRUE(ejector->awaitedProcesses("12").isEmpty());
}

TEST_F(EjectorTest, StillBusyWithNobodyFoundIsRetriedThreeTimesOneSecondApart)
{
    disks->unmountAnswers["sdb"] = Dissent{Dissent::busy, std::nullopt};
    nextReport.blockers = {blocker(701, "cp")};
    run(ejector->eject(usb, false));
    nextReport.blockers.clear();  // later scans find nobody
    processes->exit(701);
    settle();
    EXPECT_EQ(disks->calls.count("unmount sdb"), 2);
    clock.advance(std::chrono::milliseconds(999));
    settle();
    EXPECT_EQ(disks->calls.count("unmount sdb"), 2);
    clock.advance(std::chrono::milliseconds(1));
    settle();
    EXPECT_EQ(disks->calls.count("unmount sdb"), 3);
    clock.advance(std::chrono::seconds(1));
    settle();
    EXPECT_EQ(disks->calls.count("unmount sdb"), 4);
    clock.advance(std::chrono::seconds(10));
    settle();
    EXPECT_EQ(disks->calls.count("unmount sdb"), 4);
    EXPECT_EQ(ejector->status("12")->failure, EjectFailure::busy());
}

TEST_F(EjectorTest, TheLastExitDuringAScanStartsNoRetry)
{
    disks->unmountAnswers["sdb"] = Dissent{Dissent::busy, std::nullopt};
    nextReport.blockers = {blocker(801, "bash")};
    run(ejector->eject(usb, false));
    ASSERT_TRUE(ejector->isWatching("12"));

    // A rescan is under way when the blocker exits.
    scanGate = ScanGate::make();
    [](Ejector& e, EjectTarget t) -> QCoro::Task<> { co_await e.inspect(t); }(*ejector, usb);
    ASSERT_EQ(ejector->status("12")->phase, Ejector::Phase::scanning);
    processes->exit(801);
    settle();
    EXPECT_EQ(disks->calls.count("unmount sdb"), 1);
    scanGate->complete(true);
    settle();
    EXPECT_EQ(disks->calls.count("unmount sdb"), 1);
    EXPECT_EQ(ejector->status("12")->phase, Ejector::Phase::idle);
}

TEST_F(EjectorTest, EjectAllReportsNamesThatEjectedAndIdsThatDidNot)
{
    disks->unmountAnswers["sdc"] = Dissent{Dissent::exclusiveAccess, std::nullopt};
    const auto result = run(ejector->ejectAll({usb, card}));
    EXPECT_EQ(result, (Ejector::EjectAllResult{{"USB Stick"}, {"13"}}));
    EXPECT_EQ(disks->calls, (QStringList{"unmount sdb", "eject sdb", "unmount sdc"}));
    EXPECT_EQ(run(ejector->ejectAll({})), Ejector::EjectAllResult{});
}

TEST_F(EjectorTest, DismissingDuringAScanDropsTheReport)
{
    disks->unmountAnswers["sdb"] = Dissent{Dissent::busy, std::nullopt};
    nextReport.blockers = {blocker(901, "bash")};
    scanGate = ScanGate::make();
    std::optional<bool> ejected;
    [](Ejector& e, EjectTarget t, std::optional<bool>& out) -> QCoro::Task<> { out = co_await e.eject(t, false); }(*ejector, usb, ejected);
    settle();
    ASSERT_EQ(ejector->status("12")->phase, Ejector::Phase::scanning);
    ejector->dismiss("12");
    scanGate->complete(true);
    ASSERT_TRUE(TestEnvironment::waitUntil([&] { return ejected.has_value(); }, std::chrono::seconds(2)));
    EXPECT_EQ(ejector->status("12"), nullptr);
    EXPECT_FALSE(ejector->isWatching("12"));
    EXPECT_TRUE(ejector->lastScan().has_value());
}

TEST_F(EjectorTest, LiveRescanTicksEveryTwoSecondsWhileIdle)
{
    disks->unmountAnswers["sdb"] = Dissent{Dissent::notPermitted, std::nullopt};
    run(ejector->eject(usb, false));
    ejector->setLiveRescan("12", true);
    clock.advance(std::chrono::milliseconds(1999));
    settle();
    EXPECT_TRUE(scanned.isEmpty());
    nextReport.processCount = 7;
    clock.advance(std::chrono::milliseconds(1));
    settle();
    EXPECT_EQ(scanned.size(), 1);
    EXPECT_EQ(ejector->status("12")->report->processCount, 7);
    clock.advance(std::chrono::seconds(2));
    settle();
    EXPECT_EQ(scanned.size(), 2);
    ejector->setLiveRescan("12", false);
    clock.advance(std::chrono::seconds(10));
    settle();
    EXPECT_EQ(scanned.size(), 2);
}

TEST_F(EjectorTest, ATickWhileTheLastRescanRunsIsSkipped)
{
    disks->unmountAnswers["sdb"] = Dissent{Dissent::notPermitted, std::nullopt};
    run(ejector->eject(usb, false));
    ejector->setLiveRescan("12", true);
    scanGate = ScanGate::make();
    clock.advance(std::chrono::seconds(2));
    settle();
    ASSERT_EQ(scanned.size(), 1);
    for (int tick = 0; tick < 3; ++tick) {  // a scan stuck on a slow machine
        clock.advance(std::chrono::seconds(2));
        settle();
    }
    EXPECT_EQ(scanned.size(), 1);
    std::exchange(scanGate, nullptr)->complete(true);
    settle();
    clock.advance(std::chrono::seconds(2));
    settle();
    EXPECT_EQ(scanned.size(), 2);
}

TEST_F(EjectorTest, TheLastExitWhileEjectingStartsNoRetry)
{
    disks->unmountAnswers["sdb"] = Dissent{Dissent::busy, std::nullopt};
    nextReport.blockers = {blocker(811, "bash")};
    run(ejector->eject(usb, false));
    ASSERT_TRUE(ejector->isWatching("12"));
    // The user presses retry; the blocker ends while that eject is still under way.
    disks->gate = OneShot<bool>::make();
    [](Ejector& e) -> QCoro::Task<> { co_await e.retry(QStringLiteral("12"), false); }(*ejector);
    ASSERT_EQ(ejector->status("12")->phase, Ejector::Phase::ejecting);
    processes->exit(811);
    settle();
    nextReport.blockers = {blocker(812, "bash")};  // another holder keeps the drive busy
    std::exchange(disks->gate, nullptr)->complete(true);
    settle();
    EXPECT_EQ(disks->calls.count("unmount sdb"), 2) << "the first eject and the user's retry, nothing more";
}

TEST_F(EjectorTest, RetryWithForceAndRescanOfAnExistingStatus)
{
    EXPECT_EQ(run(ejector->retry("12", true)), false);  // no status: nothing to retry
    run(ejector->rescan("12"));
    EXPECT_TRUE(scanned.isEmpty());

    disks->unmountAnswers["sdb"] = Dissent{Dissent::busy, std::nullopt};
    nextReport.blockers = {blocker(821, "bash")};
    run(ejector->eject(usb, false));
    EXPECT_EQ(ejector->awaitedProcesses("12"), QSet<qint32>{821});
    disks->calls.clear();

    // The holder changed: the rescan reports and awaits the new one only.
    nextReport.blockers = {blocker(822, "vim")};
    nextReport.processCount = 9;
    run(ejector->rescan("12"));
    settle();
    EXPECT_EQ(ejector->status("12")->report->processCount, 9);
    EXPECT_EQ(ejector->status("12")->failure, EjectFailure::busy());
    EXPECT_EQ(ejector->awaitedProcesses("12"), QSet<qint32>{822});

    EXPECT_EQ(run(ejector->retry("12", true)), true);
    EXPECT_EQ(disks->calls, (QStringList{"unmount sdb force", "eject sdb"}));
    EXPECT_EQ(ejector->status("12"), nullptr);
    EXPECT_FALSE(ejector->isWatching("12"));
}

TEST_F(EjectorTest, EjectingAnImageOnTheDriveRescansTheDrive)
{
    disks->unmountAnswers["sdb"] = Dissent{Dissent::busy, std::nullopt};
    nextReport.images = {ImageBlocker{QStringLiteral("/media/usb/disk.img"), QStringLiteral("loop7")}};
    run(ejector->eject(usb, false));
    ASSERT_EQ(scanned.size(), 1);

    nextReport.images.clear();
    registry->ids["loop7"] = 70;
    EXPECT_EQ(run(ejector->ejectImage(ImageBlocker{QStringLiteral("/media/usb/disk.img"), QStringLiteral("loop7")}, "12")), true);
    EXPECT_EQ(disks->calls.mid(1), (QStringList{"unmount loop7", "eject loop7"}));
    EXPECT_EQ(scanned.size(), 2);
    EXPECT_TRUE(ejector->status("12")->report->images.isEmpty());
    EXPECT_EQ(ejector->status("loop7"), nullptr) << "an image eject keeps no status of its own";

    // A refused image eject answers false and changes nothing.
    disks->unmountAnswers["loop8"] = Dissent{Dissent::busy, std::nullopt};
    const auto before = ejector->log().size();
    EXPECT_EQ(run(ejector->ejectImage(ImageBlocker{QStringLiteral("/media/usb/b.img"), QStringLiteral("loop8")}, "12")), false);
    EXPECT_EQ(disks->calls.last(), "unmount loop8");
    EXPECT_EQ(scanned.size(), 2);
    EXPECT_EQ(ejector->log().size(), before);
}

TEST_F(EjectorTest, SignalsAndQuit)
{
    Blocker shell = blocker(42, "bash");
    EXPECT_TRUE(ejector->signal(shell, false));
    EXPECT_TRUE(ejector->signal(shell, true));
    EXPECT_FALSE(ejector->quit(shell));  // not an app
    shell.app = OwningApp{40, QStringLiteral("Terminal"), std::nullopt, std::nullopt};
    EXPECT_FALSE(ejector->quit(shell));  // an app's child, not the app itself
    shell.isAppProcess = true;
    EXPECT_TRUE(ejector->quit(shell));
    EXPECT_EQ(processes->signals_, (QList<std::pair<qint32, int>>{{42, SIGTERM}, {42, SIGKILL}, {40, SIGTERM}}));
}

TEST_F(EjectorTest, AHolderThatARescanNoLongerFindsIsNotAwaitedForever)
{
    disks->unmountAnswers["sdb"] = Dissent{Dissent::busy, std::nullopt};
    nextReport.blockers = {blocker(841, "bash")};
    run(ejector->eject(usb, false));
    EXPECT_EQ(ejector->awaitedProcesses("12"), QSet<qint32>{841});

    // The panel's rescan runs as the holder lets go; its exit watch goes with the old report.
    disks->unmountAnswers.remove("sdb");
    nextReport.blockers = {};
    run(ejector->rescan("12"));
    ASSERT_TRUE(TestEnvironment::waitUntil([&] { return ejector->status("12") == nullptr; }, std::chrono::seconds(2)))
        << "the ejector still waits for a process that no longer holds the drive";
    EXPECT_EQ(disks->calls.last(), "eject sdb");
}
