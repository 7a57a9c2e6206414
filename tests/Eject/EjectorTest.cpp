#include "Eject/DiskArbitrationClient.h"
#include "Eject/Ejector.h"
#include "Platform/BlockRegistry.h"
#include "Platform/DiskService.h"
#include "Support/OneShot.h"

#include "support/FakeVolumePlatform.h"
#include "support/ManualClock.h"
#include "support/TestEnvironment.h"

#include <QSignalSpy>
#include <QTimer>

#include <gtest/gtest.h>

#include <csignal>

using namespace mallowby;
using namespace mallowby::test;

namespace {

// udisks2 as scripted by the test: an answer per disk, and requests that can be held open.
class FakeDisks final : public DiskService {
public:
    QHash<QString, std::optional<Dissent>> unmountAnswers;
    QStringList calls;
    std::shared_ptr<OneShot<bool>> gate;  // when set, requests wait for it

    QCoro::Task<std::optional<Dissent>> unmountDisk(QString bsdName, bool force) override
    {
        calls << QStringLiteral("unmount %1%2").arg(bsdName, force ? QStringLiteral(" force") : QString());
        if (auto held = gate)
            co_await *held;
        co_return force ? std::nullopt : unmountAnswers.value(bsdName);
    }
    QCoro::Task<std::optional<Dissent>> ejectDisk(QString bsdName) override
    {
        calls << QStringLiteral("eject %1").arg(bsdName);
        co_return std::nullopt;
    }
    QCoro::Task<std::optional<Dissent>> unmountShare(VolumeStore::Mount mount, bool) override
    {
        calls << QStringLiteral("unmount share %1").arg(mount.path);
        co_return std::nullopt;
    }
};

// Every /dev/NAME is its own whole disk with driver ID taken from the test's table.
class FakeRegistry final : public BlockRegistry {
public:
    QHash<QString, quint64> ids;
    QList<BlockDevice> members(const QString& name) const override
    {
        return ids.contains(name) ? QList<BlockDevice>{BlockDevice{ids.value(name), name}} : QList<BlockDevice>{};
    }
    QStringList wholeMediaBelow(const QString&) const override { return {}; }
    std::optional<QString> wholeDisk(const QString& name) const override { return name; }
    std::unique_ptr<BlockDriver> open(const BlockDevice&) const override { return nullptr; }
    QList<AttachedImage> attachedImages() const override { return {}; }
};

// Processes the test ends by hand.
class FakeProcesses final : public ProcessControl {
public:
    class Handle final : public Watch {
    public:
        Handle(FakeProcesses& owner, qint32 pid) : m_owner(owner), m_pid(pid) {}
        ~Handle() override { m_owner.watches.remove(m_pid); }

    private:
        FakeProcesses& m_owner;
        qint32 m_pid;
    };

    QHash<qint32, std::function<void()>> watches;
    QSet<qint32> gone;
    QList<std::pair<qint32, int>> signals_;

    std::unique_ptr<Watch> watchExit(qint32 pid, std::optional<quint64>, std::function<void()> exited) override
    {
        if (gone.contains(pid))
            return nullptr;
        watches.insert(pid, std::move(exited));
        return std::make_unique<Handle>(*this, pid);
    }
    bool isGone(qint32 pid, std::optional<quint64>) const override { return gone.contains(pid); }
    bool signal(qint32 pid, std::optional<quint64>, int signal) override
    {
        signals_.append({pid, signal});
        return !gone.contains(pid);
    }
    // The process ends: its watch fires on a later turn, like the real one.
    void exit(qint32 pid)
    {
        gone.insert(pid);
        if (auto fire = watches.value(pid))
            QTimer::singleShot(0, fire);
    }
};

Blocker blocker(qint32 pid, const QString& name)
{
    Blocker b;
    b.pid = pid;
    b.processName = name;
    b.uses = {{Blocker::Reason::workingDirectory, QStringLiteral("/media/usb")}};
    return b;
}

class EjectorTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        volumes.table->mounts = {FakeVolumePlatform::mount("/media/usb", "/dev/sdb"),
                                 FakeVolumePlatform::mount("/media/card", "/dev/sdc")};
        volumes.table->mounts[0].device = 0x810;
        registry->ids = {{"sdb", 12}, {"sdc", 13}};
        auto client = std::make_shared<DiskArbitrationClient>(
            DiskArbitrationClient::Platform{volumes.table, registry, disks});
        ejector = std::make_unique<Ejector>(
            Ejector::Platform{client,
                              [this](ScanTarget target) -> QCoro::Task<BlockerReport> {
                                  scanned.append(target);
                                  if (auto held = scanGate)
                                      co_await *held;
                                  // A copy: QCoro moves from an lvalue handed to co_return.
                                  co_return queued.isEmpty() ? BlockerReport(nextReport) : queued.takeFirst();
                              },
                              processes},
            clock);
    }

    // Runs a task to its end (or as far as it gets on the event loop).
    template<typename T>
    std::optional<T> run(QCoro::Task<T> task)
    {
        return TestEnvironment::await(std::move(task), std::chrono::seconds(2));
    }
    bool run(QCoro::Task<> task)
    {
        return run([](QCoro::Task<> t) -> QCoro::Task<bool> {
                   co_await std::move(t);
                   co_return true;
               }(std::move(task)))
            .has_value();
    }
    void settle() { TestEnvironment::waitUntil([] { return false; }, std::chrono::milliseconds(20)); }

    FakeVolumePlatform volumes;
    std::shared_ptr<FakeRegistry> registry = std::make_shared<FakeRegistry>();
    std::shared_ptr<FakeDisks> disks = std::make_shared<FakeDisks>();
    std::shared_ptr<FakeProcesses> processes = std::make_shared<FakeProcesses>();
    ManualClock clock;
    QList<ScanTarget> scanned;
    BlockerReport nextReport;
    QList<BlockerReport> queued;  // reports for the next scans, before nextReport
    std::shared_ptr<OneShot<bool>> scanGate;
    std::unique_ptr<Ejector> ejector;

    const EjectTarget usb{QStringLiteral("12"), QStringLiteral("USB Stick"), VolumeKind::external, {BlockDevice{12, "sdb"}}, std::nullopt};
    const EjectTarget card{QStringLiteral("13"), QStringLiteral("Card"), VolumeKind::external, {BlockDevice{13, "sdc"}}, std::nullopt};
};

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
    EXPECT_EQ(scanned[0], (ScanTarget{{0x810}, {"/media/usb"}}));
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
    scanGate = OneShot<bool>::make();
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
    scanGate = OneShot<bool>::make();
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
    scanGate = OneShot<bool>::make();
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

    // The holder changed: the rescan reports and awaits the new one.
    nextReport.blockers = {blocker(822, "vim")};
    nextReport.processCount = 9;
    run(ejector->rescan("12"));
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
