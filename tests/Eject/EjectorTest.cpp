#include "support/EjectorRig.h"

#include <gtest/gtest.h>

#include <csignal>

using namespace mallowby;
using namespace mallowby::test;
using namespace std::chrono_literals;

namespace {

class EjectorTest : public ::testing::Test, protected EjectorRig {
protected:
    // Starts an eject that may stay under way; its answer lands in the returned slot.
    std::shared_ptr<std::optional<bool>> start(const EjectTarget& target, bool force = false)
    {
        auto out = std::make_shared<std::optional<bool>>();
        [](Ejector& e, EjectTarget t, bool f, std::shared_ptr<std::optional<bool>> o) -> QCoro::Task<> {
            *o = co_await e.eject(t, f);
        }(*ejector, target, force, out);
        return out;
    }
    bool answered(const std::shared_ptr<std::optional<bool>>& out)
    {
        return TestEnvironment::waitUntil([&] { return out->has_value(); }, 2s);
    }
    void busyWith(QList<Blocker> blockers)
    {
        disks->unmountAnswers["sdb"] = Dissent{Dissent::busy, std::nullopt};
        nextReport.blockers = std::move(blockers);
    }
    qsizetype unmounts() const { return disks->calls.count("unmount sdb"); }
};

} // namespace

TEST_F(EjectorTest, OutcomesOfAnEjectAndTheLog)
{
    struct Row {
        const char* name;
        std::optional<Dissent> answer;
    };
    for (const Row& row : {Row{"success", std::nullopt}, Row{"exclusive access", Dissent{Dissent::exclusiveAccess, std::nullopt}},
                           Row{"not permitted", Dissent{Dissent::notPermitted, QStringLiteral("x")}}}) {
        disks->calls.clear();
        disks->unmountAnswers["sdb"] = row.answer;
        EXPECT_EQ(run(ejector->eject(usb, false)), !row.answer) << row.name;
        const auto* status = ejector->status("12");
        if (!row.answer) {
            EXPECT_EQ(status, nullptr) << row.name;
            EXPECT_EQ(disks->calls, (QStringList{"unmount sdb", "eject sdb"})) << row.name;
            continue;
        }
        // No scan, no watch, no retry for anything but busy.
        ASSERT_NE(status, nullptr) << row.name;
        EXPECT_EQ(status->phase, Ejector::Phase::idle) << row.name;
        EXPECT_EQ(status->failure, EjectFailure::from(row.answer)) << row.name;
        EXPECT_EQ(status->stillMounted, QStringList{"usb"}) << row.name;
        EXPECT_FALSE(status->report || ejector->isWatching("12") || !scanned.isEmpty()) << row.name;
        EXPECT_EQ(ejector->log().last().failure, *EjectFailure::from(row.answer)) << row.name;
    }
    EXPECT_FALSE(ejector->lastScan().has_value());

    for (int i = 0; i < 21; ++i) {
        EjectTarget target = usb;
        target.name = QStringLiteral("try %1").arg(i);
        run(ejector->eject(target, false));
    }
    ASSERT_EQ(ejector->log().size(), 20);
    EXPECT_EQ(ejector->log().first().targetName, "try 1");
    EXPECT_EQ(ejector->log().last().targetName, "try 20");
    EXPECT_EQ(ejector->log().last().kind, VolumeKind::external);

    disks->unmountAnswers = {{"sdc", Dissent{Dissent::exclusiveAccess, std::nullopt}}};
    disks->calls.clear();
    EXPECT_EQ(run(ejector->ejectAll({usb, card})), (Ejector::EjectAllResult{{"USB Stick"}, {"13"}}));
    EXPECT_EQ(disks->calls, (QStringList{"unmount sdb", "eject sdb", "unmount sdc"}));
    EXPECT_EQ(run(ejector->ejectAll({})), Ejector::EjectAllResult{});
}

TEST_F(EjectorTest, BusyScansWatchesAndRetriesOnceEveryBlockerHasExited)
{
    busyWith({blocker(501, "bash"), blocker(502, "vim")});
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

    disks->unmountAnswers.remove("sdb");
    processes->exit(501);
    settle();
    EXPECT_NE(ejector->status("12"), nullptr);
    processes->exit(502);
    ASSERT_TRUE(TestEnvironment::waitUntil([&] { return ejector->status("12") == nullptr; }, 2s));
    EXPECT_EQ(disks->calls.last(), "eject sdb");
}

TEST_F(EjectorTest, ABlockerGoneBeforeItsWatchIsCaughtByTheProbeAfterTheEjectAnswered)
{
    busyWith({});
    queued = {BlockerReport{{blocker(601, "short-lived")}, {}, false, 30, {}}};
    processes->gone.insert(601);
    std::optional<Ejector::Status> whenAnswered;
    [](Ejector& e, EjectTarget t, std::optional<Ejector::Status>& seen) -> QCoro::Task<> {
        co_await e.eject(t, false);
        seen = *e.status(t.id);
    }(*ejector, usb, whenAnswered);
    // The eject answers with the busy outcome and its report, not with a retry under way.
    ASSERT_TRUE(whenAnswered);
    EXPECT_EQ(whenAnswered->phase, Ejector::Phase::idle);
    EXPECT_EQ(whenAnswered->report->blockers.size(), 1);
    EXPECT_EQ(unmounts(), 1);
    settle();
    EXPECT_EQ(unmounts(), 2);
    EXPECT_TRUE(ejector->awaitedProcesses("12").isEmpty());
}

TEST_F(EjectorTest, StillBusyWithNobodyFoundIsRetriedThreeTimesOneSecondApart)
{
    busyWith({blocker(701, "cp")});
    run(ejector->eject(usb, false));
    nextReport.blockers.clear();
    processes->exit(701);
    settle();
    for (const auto& [advance, expected] : std::vector<std::pair<std::chrono::milliseconds, qsizetype>>{
             {0ms, 2}, {999ms, 2}, {1ms, 3}, {1000ms, 4}, {10000ms, 4}}) {
        clock.advance(advance);
        settle();
        EXPECT_EQ(unmounts(), expected) << "after " << advance.count() << " ms more";
    }
    EXPECT_EQ(ejector->status("12")->failure, EjectFailure::busy());
}

TEST_F(EjectorTest, TheLastExitWhileScanningOrEjectingStartsNoRetry)
{
    busyWith({blocker(801, "bash")});
    run(ejector->eject(usb, false));
    scanGate = ScanGate::make();
    [](Ejector& e, EjectTarget t) -> QCoro::Task<> { co_await e.inspect(t); }(*ejector, usb);
    ASSERT_EQ(ejector->status("12")->phase, Ejector::Phase::scanning);
    processes->exit(801);
    settle();
    std::exchange(scanGate, nullptr)->complete(true);
    settle();
    EXPECT_EQ(unmounts(), 1);
    EXPECT_EQ(ejector->status("12")->phase, Ejector::Phase::idle);

    nextReport.blockers = {blocker(811, "bash")};
    run(ejector->rescan("12"));
    ASSERT_TRUE(ejector->isWatching("12"));
    disks->gate = OneShot<bool>::make();
    [](Ejector& e) -> QCoro::Task<> { co_await e.retry(QStringLiteral("12"), false); }(*ejector);
    processes->exit(811);
    settle();
    nextReport.blockers = {blocker(812, "bash")};
    std::exchange(disks->gate, nullptr)->complete(true);
    settle();
    EXPECT_EQ(unmounts(), 2) << "the first eject and the user's retry, nothing more";
}

TEST_F(EjectorTest, DismissingDuringAScanDropsTheReport)
{
    busyWith({blocker(901, "bash")});
    scanGate = ScanGate::make();
    const auto ejected = start(usb);
    settle();
    ASSERT_EQ(ejector->status("12")->phase, Ejector::Phase::scanning);
    ejector->dismiss("12");
    scanGate->complete(true);
    ASSERT_TRUE(answered(ejected));
    EXPECT_EQ(ejector->status("12"), nullptr);
    EXPECT_FALSE(ejector->isWatching("12"));
    EXPECT_TRUE(ejector->lastScan().has_value());
}

TEST_F(EjectorTest, LiveRescanTicksEveryTwoSecondsAndSkipsWhileOneRuns)
{
    disks->unmountAnswers["sdb"] = Dissent{Dissent::notPermitted, std::nullopt};
    run(ejector->eject(usb, false));
    ejector->setLiveRescan("12", true);
    nextReport.processCount = 7;
    for (const auto& [advance, expected] : std::vector<std::pair<std::chrono::milliseconds, qsizetype>>{{1999ms, 0}, {1ms, 1}, {2s, 2}}) {
        clock.advance(advance);
        settle();
        EXPECT_EQ(scanned.size(), expected) << "after " << advance.count() << " ms more";
    }
    EXPECT_EQ(ejector->status("12")->report->processCount, 7);
    // A scan stuck on a slow machine: the ticks meanwhile do nothing.
    scanGate = ScanGate::make();
    for (int tick = 0; tick < 4; ++tick) {
        clock.advance(2s);
        settle();
    }
    EXPECT_EQ(scanned.size(), 3);
    std::exchange(scanGate, nullptr)->complete(true);
    settle();
    clock.advance(2s);
    settle();
    EXPECT_EQ(scanned.size(), 4);
    ejector->setLiveRescan("12", false);
    clock.advance(10s);
    settle();
    EXPECT_EQ(scanned.size(), 4);
}

TEST_F(EjectorTest, RescanOfAnExistingStatusAwaitsOnlyTheHoldersItFinds)
{
    EXPECT_EQ(run(ejector->retry("12", true)), false);  // no status: nothing to retry
    run(ejector->rescan("12"));
    EXPECT_TRUE(scanned.isEmpty());

    busyWith({blocker(821, "bash")});
    run(ejector->eject(usb, false));
    EXPECT_EQ(ejector->awaitedProcesses("12"), QSet<qint32>{821});
    // The holder changed: the rescan reports and awaits the new one only.
    nextReport.blockers = {blocker(822, "vim")};
    nextReport.processCount = 9;
    run(ejector->rescan("12"));
    settle();
    EXPECT_EQ(ejector->status("12")->report->processCount, 9);
    EXPECT_EQ(ejector->awaitedProcesses("12"), QSet<qint32>{822});

    // The holder lets go as the panel rescans: its exit watch goes with the old report.
    disks->unmountAnswers.remove("sdb");
    nextReport.blockers.clear();
    run(ejector->rescan("12"));
    ASSERT_TRUE(TestEnvironment::waitUntil([&] { return ejector->status("12") == nullptr; }, 2s))
        << "the ejector still waits for a process that no longer holds the drive";
    EXPECT_EQ(disks->calls.last(), "eject sdb");
    EXPECT_FALSE(ejector->isWatching("12"));
}

TEST_F(EjectorTest, EjectingAnImageOnTheDriveRescansTheDrive)
{
    busyWith({});
    nextReport.images = {ImageBlocker{QStringLiteral("/media/usb/disk.img"), QStringLiteral("loop7")}};
    run(ejector->eject(usb, false));
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

TEST_F(EjectorTest, AnEjectUnderWayOutlivesDismissAndAnswersOnlyWithItsOwnResult)
{
    QList<std::pair<QString, bool>> ended;
    QObject::connect(ejector.get(), &Ejector::ejectEnded, [&](const QString& id, bool ejected) { ended.append({id, ejected}); });
    disks->gate = OneShot<bool>::make();
    const auto first = start(usb);
    // "close" on the panel, then eject, retry and inspect again while udisks2 still works.
    ejector->dismiss("12");
    EXPECT_EQ(ejector->status("12")->phase, Ejector::Phase::ejecting);
    EXPECT_EQ(run(ejector->eject(usb, false)), false);
    EXPECT_EQ(run(ejector->retry("12", false)), false);
    run(ejector->inspect(usb));
    EXPECT_TRUE(ended.isEmpty());
    EXPECT_EQ(disks->calls, (QStringList{"unmount sdb"})) << "one request per target while one runs";
    EXPECT_TRUE(scanned.isEmpty());
    std::exchange(disks->gate, nullptr)->complete(true);
    ASSERT_TRUE(answered(first));
    EXPECT_EQ(*first, true);
    EXPECT_EQ(ended, (QList<std::pair<QString, bool>>{{"12", true}}));
    EXPECT_EQ(ejector->status("12"), nullptr);
}

TEST_F(EjectorTest, OnlyABusyRefusalIsRetriedWhenItsHoldersExitAndAnOlderRescanNeverOverwritesANewer)
{
    // Refused for want of authorization: a rescan finds holders but nothing waits on them.
    disks->unmountAnswers["sdb"] = Dissent{Dissent::notPermitted, QStringLiteral("cancelled")};
    run(ejector->eject(usb, false));
    nextReport.blockers = {blocker(851, "bash")};
    run(ejector->rescan("12"));
    EXPECT_FALSE(ejector->isWatching("12"));
    processes->exit(851);
    settle();
    EXPECT_EQ(disks->calls, (QStringList{"unmount sdb"})) << "an eject the user did not ask for";

    // Two rescans overlap and the later one answers first (a held scan takes its report as it ends).
    BlockerReport older, newer;
    older.processCount = 1;
    newer.processCount = 2;
    queued = {newer, older};
    scanGate = ScanGate::make();
    [](Ejector& e) -> QCoro::Task<> { co_await e.rescan(QStringLiteral("12")); }(*ejector);
    const auto held = std::exchange(scanGate, nullptr);
    run(ejector->rescan("12"));
    EXPECT_EQ(ejector->status("12")->report->processCount, 2);
    held->complete(true);
    settle();
    EXPECT_EQ(ejector->status("12")->report->processCount, 2) << "the older report overwrote the newer";
}

TEST_F(EjectorTest, AForcedEjectPowersOffOnlyOnceNoProcessHoldsTheLazilyUnmountedFileSystem)
{
    queued = {BlockerReport{{blocker(861, "cp")}, {}, false, 30, {}}};
    disks->held = true;
    const auto ejected = start(usb, true);
    settle();
    EXPECT_EQ(disks->calls, (QStringList{"unmount sdb force"}));
    EXPECT_EQ(ejector->status("12")->awaitedHolders, 1);
    ASSERT_EQ(scanned.size(), 1);
    EXPECT_EQ(scanned[0].devices, QSet<quint64>{0x810}) << "the scan looks for the detached file system by its device";
    clock.advance(1s);  // cp has gone; the device is still closing
    settle();
    EXPECT_EQ(ejector->status("12")->awaitedHolders, 0);
    EXPECT_FALSE(ejected->has_value());
    disks->held = false;
    clock.advance(1s);
    ASSERT_TRUE(answered(ejected));
    EXPECT_EQ(*ejected, true);
    EXPECT_EQ(disks->calls, (QStringList{"unmount sdb force", "eject sdb"}));
}
