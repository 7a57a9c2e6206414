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
        [](Ejector& e, EjectTarget t, bool f, std::shared_ptr<std::optional<bool>> o) -> QCoro::Task<> { *o = co_await e.eject(t, f); }(
            *ejector, target, force, out);
        return out;
    }
    bool answered(const std::shared_ptr<std::optional<bool>>& out) { return TestEnvironment::waitUntil([&] { return out->has_value(); }, 2s); }
    void busyWith(QList<Blocker> blockers)
    {
        disks->answers["sdb"] = Dissent{Dissent::busy, std::nullopt};
        nextReport.blockers = std::move(blockers);
    }
    void advance(std::chrono::milliseconds by)
    {
        clock.advance(by);
        settle();
    }
    // The stick as the ejector sees it: phase and failure (or "none"), awaited pids, scans, requests.
    QString state() const
    {
        const Ejector::Status* s = ejector->status("12");
        QStringList pids;
        for (qint32 pid : ejector->awaitedProcesses("12"))
            pids << QString::number(pid);
        pids.sort();
        const QString phase = s ? QStringList{"ejecting", "scanning", "idle"}.at(int(s->phase)) + (s->failure ? " " + s->failure->summary() : "") : "none";
        return QStringLiteral("%1 | awaits %2 | %3 scans | %4").arg(phase, pids.join(',')).arg(scanned.size()).arg(disks->calls.join(", "));
    }
    bool reaches(const QString& expected) const { return TestEnvironment::waitUntil([&] { return state() == expected; }, 2s); }
};

} // namespace

TEST_F(EjectorTest, OutcomesOfAnEjectAndTheLog)
{
    // Anything but busy fails at once: no scan, no watch, no retry.
    for (const auto& [answer, expected] : std::vector<std::pair<std::optional<Dissent>, QString>>{
             {std::nullopt, "none | awaits  | 0 scans | unmount sdb, eject sdb"},
             {Dissent{Dissent::exclusiveAccess, std::nullopt}, "idle exclusive access | awaits  | 0 scans | unmount sdb"},
             {Dissent{Dissent::notPermitted, QStringLiteral("x")}, "idle not permitted (x) | awaits  | 0 scans | unmount sdb"}}) {
        disks->calls.clear();
        disks->answers["sdb"] = answer;
        EXPECT_EQ(run(ejector->eject(usb, false)), !answer) << expected.toStdString();
        EXPECT_EQ(state(), expected);
    }
    EXPECT_EQ(ejector->status("12")->stillMounted, QStringList{"usb"});
    for (int i = 0; i < 21; ++i) {
        EjectTarget target = usb;
        target.name = QString::number(i);
        run(ejector->eject(target, false));
    }
    const auto& log = ejector->log();
    EXPECT_EQ(std::tuple(log.size(), log.first().targetName, log.last().targetName, log.last().kind, log.last().failure),
              std::tuple(20, QStringLiteral("1"), QStringLiteral("20"), VolumeKind::external, EjectFailure::notPermitted(QStringLiteral("x"))));

    // One after another; a refusal does not stop the rest.
    disks->answers = {{"sdc", Dissent{Dissent::exclusiveAccess, std::nullopt}}};
    disks->calls.clear();
    EXPECT_EQ(run(ejector->ejectAll({card, usb})), (Ejector::EjectAllResult{{"USB Stick"}, {"13"}}));
    EXPECT_EQ(disks->calls, (QStringList{"unmount sdc", "unmount sdb", "eject sdb"}));
}

// Busy: scan, await the holders a rescan finds, retry when the last exits, and three more times.
TEST_F(EjectorTest, ABusyEjectWaitsForItsHoldersAndRetries)
{
    busyWith({blocker(501, "bash"), blocker(502, "vim")});
    nextReport.processCount = 40;
    EXPECT_EQ(run(ejector->eject(usb, false)), false);
    EXPECT_EQ(scanned, (QList<ScanTarget>{{{0x810}, {"/media/usb"}, {"sdb"}}}));
    EXPECT_EQ(std::pair(ejector->status("12")->report, ejector->lastScan()), std::pair(std::optional(nextReport), std::optional(Ejector::ScanSummary::of(nextReport))));
    EXPECT_EQ(state(), "idle busy | awaits 501,502 | 1 scans | unmount sdb");
    processes->exit(501);
    settle();
    EXPECT_EQ(state(), "idle busy | awaits 502 | 1 scans | unmount sdb");
    nextReport.blockers = {blocker(822, "vim")};
    run(ejector->rescan("12"));
    settle();
    EXPECT_EQ(state(), "idle busy | awaits 822 | 2 scans | unmount sdb") << "a rescan awaits only the holders it finds";

    nextReport.blockers.clear();
    processes->exit(822);
    settle();
    for (const auto& [by, expected] : std::vector<std::pair<std::chrono::milliseconds, qsizetype>>{{0ms, 2}, {999ms, 2}, {1ms, 3}, {1s, 4}, {10s, 4}}) {
        advance(by);
        EXPECT_EQ(disks->calls.count("unmount sdb"), expected) << "still busy, nobody found: after " << by.count() << " ms more";
    }
    disks->calls.clear();
    scanned.clear();
    nextReport.blockers = {blocker(823, "cp")};
    run(ejector->rescan("12"));
    settle();
    EXPECT_EQ(state(), "idle busy | awaits 823 | 1 scans | ");
    // The holder lets go as the panel rescans: its exit watch goes with the old report.
    disks->answers.remove("sdb");
    nextReport.blockers.clear();
    run(ejector->rescan("12"));
    EXPECT_TRUE(reaches("none | awaits  | 2 scans | unmount sdb, eject sdb")) << "waiting for a process that let go: " << state().toStdString();
    EXPECT_FALSE(ejector->isWatching("12"));
    // No status: nothing to retry or rescan.
    EXPECT_EQ(run(ejector->retry("12", true)), false);
    run(ejector->rescan("12"));
    EXPECT_EQ(state(), "none | awaits  | 2 scans | unmount sdb, eject sdb");
}

TEST_F(EjectorTest, ABlockerGoneBeforeItsWatchIsCaughtByTheProbeAfterTheEjectAnswered)
{
    busyWith({});
    queued = {BlockerReport{.blockers = {blocker(601, "short-lived")}, .images = {}, .holders = {}}};
    processes->gone.insert(601);
    QString whenAnswered;
    [](Ejector& e, EjectTarget t, std::function<QString()> state, QString& seen) -> QCoro::Task<> {
        co_await e.eject(t, false);
        seen = state();
    }(*ejector, usb, [this] { return state(); }, whenAnswered);
    // The eject answers with the busy outcome, not with a retry under way; the retry follows.
    EXPECT_EQ(whenAnswered, "idle busy | awaits 601 | 1 scans | unmount sdb");
    settle();
    EXPECT_EQ(disks->calls.count("unmount sdb"), 2);
}

// Exits while a scan or an eject runs, dismiss, non-busy refusals, overlapping and live rescans.
TEST_F(EjectorTest, RetriesRescansAndLiveRescanKeepToTheirPlace)
{
    busyWith({blocker(801, "bash")});
    run(ejector->eject(usb, false));
    scanGate = ScanGate::make();
    ejector->inspect(usb);
    EXPECT_EQ(state(), "scanning busy | awaits 801 | 2 scans | unmount sdb");
    processes->exit(801);
    settle();
    std::exchange(scanGate, nullptr)->complete(true);
    settle();
    nextReport.blockers = {blocker(811, "bash")};
    run(ejector->rescan("12"));
    EXPECT_EQ(state(), "idle busy | awaits 811 | 3 scans | unmount sdb");
    disks->holdDisks = true;
    ejector->retry("12", false);
    processes->exit(811);
    settle();
    nextReport.blockers = {blocker(812, "bash")};
    disks->holdDisks = false;
    disks->release();
    settle();
    EXPECT_EQ(state(), "idle busy | awaits 812 | 4 scans | unmount sdb, unmount sdb") << "only the user's retry";
    scanGate = ScanGate::make();
    ejector->inspect(usb);
    ejector->dismiss("12");
    std::exchange(scanGate, nullptr)->complete(true);
    settle();
    EXPECT_EQ(state(), "none | awaits  | 5 scans | unmount sdb, unmount sdb") << "dismissed while a scan runs";
    EXPECT_FALSE(ejector->isWatching("12"));
    EXPECT_EQ(ejector->lastScan()->blockerCount, 1);

    disks->calls.clear();
    scanned.clear();
    disks->answers["sdb"] = Dissent{Dissent::notPermitted, QStringLiteral("cancelled")};
    run(ejector->eject(usb, false));
    nextReport.blockers = {blocker(851, "bash")};
    run(ejector->rescan("12"));
    processes->exit(851);
    settle();
    EXPECT_EQ(state(), "idle not permitted (cancelled) | awaits  | 1 scans | unmount sdb") << "an eject the user did not ask for";
    // Two rescans overlap and the later one answers first (a held scan takes its report as it ends).
    queued = {BlockerReport{.blockers = {}, .images = {}, .processCount = 2, .holders = {}},
              BlockerReport{.blockers = {}, .images = {}, .processCount = 1, .holders = {}}};
    scanGate = ScanGate::make();
    ejector->rescan("12");
    const auto held = std::exchange(scanGate, nullptr);
    run(ejector->rescan("12"));
    held->complete(true);
    settle();
    EXPECT_EQ(ejector->status("12")->report->processCount, 2) << "the older report overwrote the newer";

    // Live rescans tick every two seconds, and do nothing while a scan is stuck.
    ejector->setLiveRescan("12", true);
    nextReport.processCount = 7;
    for (const auto& [by, expected] : std::vector<std::pair<std::chrono::milliseconds, qsizetype>>{{1999ms, 3}, {1ms, 4}, {2s, 5}}) {
        advance(by);
        EXPECT_EQ(scanned.size(), expected) << "live rescan after " << by.count() << " ms more";
    }
    EXPECT_EQ(ejector->status("12")->report->processCount, 7);
    scanGate = ScanGate::make();
    advance(8s);
    EXPECT_EQ(scanned.size(), 6);
    std::exchange(scanGate, nullptr)->complete(true);
    settle();
    advance(2s);
    EXPECT_EQ(scanned.size(), 7);
    ejector->setLiveRescan("12", false);
    advance(10s);
    EXPECT_EQ(scanned.size(), 7);
}

TEST_F(EjectorTest, EjectingAnImageOnTheDriveRescansTheDriveAndSignals)
{
    const ImageBlocker image{QStringLiteral("/media/usb/disk.img"), QStringLiteral("loop7")};
    busyWith({});
    nextReport.images = {image};
    run(ejector->eject(usb, false));
    nextReport.images.clear();
    registry->ids["loop7"] = 70;
    EXPECT_EQ(run(ejector->ejectImage(image, "12")), true);
    EXPECT_EQ(state(), "idle busy | awaits  | 2 scans | unmount sdb, unmount loop7, eject loop7");
    EXPECT_TRUE(ejector->status("12")->report->images.isEmpty());
    EXPECT_EQ(ejector->status("loop7"), nullptr) << "an image eject keeps no status of its own";
    // A refused one answers false and changes nothing.
    disks->answers["loop8"] = Dissent{Dissent::busy, std::nullopt};
    const auto logged = ejector->log().size();
    EXPECT_EQ(run(ejector->ejectImage(ImageBlocker{QStringLiteral("/media/usb/b.img"), QStringLiteral("loop8")}, "12")), false);
    EXPECT_EQ(std::pair(scanned.size(), ejector->log().size()), std::pair(qsizetype(2), logged));

    // Quit reaches only an app itself, not a plain process nor an app's child.
    Blocker shell = blocker(42, "bash");
    EXPECT_TRUE(ejector->signal(shell, false) && ejector->signal(shell, true));
    EXPECT_FALSE(ejector->quit(shell));
    shell.app = OwningApp{40, QStringLiteral("Terminal"), std::nullopt, std::nullopt, std::nullopt};
    EXPECT_FALSE(ejector->quit(shell));
    shell.isAppProcess = true;
    EXPECT_TRUE(ejector->quit(shell));
    EXPECT_EQ(processes->signals_, (QList<std::pair<qint32, int>>{{42, SIGTERM}, {42, SIGKILL}, {40, SIGTERM}}));
}

TEST_F(EjectorTest, AnEjectUnderWayOutlivesDismissAndAnswersOnlyWithItsOwnResult)
{
    QList<std::pair<QString, bool>> ended;
    QObject::connect(ejector.get(), &Ejector::ejectEnded, [&](const QString& id, bool ejected) { ended.append({id, ejected}); });
    disks->holdDisks = true;
    const auto first = start(usb);
    // "close" on the panel, then eject, retry and inspect again while udisks2 still works.
    ejector->dismiss("12");
    EXPECT_EQ(run(ejector->eject(usb, false)), false);
    EXPECT_EQ(run(ejector->retry("12", false)), false);
    run(ejector->inspect(usb));
    EXPECT_TRUE(ended.isEmpty());
    EXPECT_EQ(state(), "ejecting | awaits  | 0 scans | unmount sdb") << "one request per target while one runs";
    disks->holdDisks = false;
    disks->release();
    ASSERT_TRUE(answered(first));
    EXPECT_EQ(std::pair(**first, ended), std::pair(true, QList<std::pair<QString, bool>>{{"12", true}}));
    EXPECT_EQ(state(), "none | awaits  | 0 scans | unmount sdb, eject sdb");
}

TEST_F(EjectorTest, AForcedEjectPowersOffOnlyOnceNoProcessHoldsTheLazilyUnmountedFileSystem)
{
    queued = {BlockerReport{.blockers = {blocker(861, "cp")}, .images = {}, .holders = {}}};
    disks->stillHeld = true;
    const auto ejected = start(usb, true);
    settle();
    EXPECT_EQ(ejector->status("12")->awaitedHolders, 1);
    EXPECT_EQ(scanned.value(0).devices, QSet<quint64>{0x810}) << "the detached file system is found by its device";
    advance(1s);  // cp has gone; the device is still closing
    EXPECT_EQ(ejector->status("12")->awaitedHolders, 0);
    EXPECT_FALSE(ejected->has_value());
    disks->stillHeld = false;
    clock.advance(1s);
    ASSERT_TRUE(answered(ejected));
    EXPECT_EQ(*ejected, true);
    EXPECT_EQ(disks->calls, (QStringList{"unmount sdb force", "eject sdb"}));
}
