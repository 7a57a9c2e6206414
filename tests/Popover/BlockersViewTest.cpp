#include "Popover/Blockers/BlockersView.h"
#include "Popover/Cards/EjectStatusView.h"

#include "AccessibleTree.h"
#include "support/AccessibleTree.h"
#include "support/EjectorRig.h"

#include <QTest>
#include <QVBoxLayout>

#include <gtest/gtest.h>

#include <csignal>

using namespace mallowby;
using namespace mallowby::test;
using namespace std::chrono_literals;

namespace {

Blocker process(qint32 pid, const QString& name, QList<Blocker::Use> uses = {{Blocker::Reason::workingDirectory, "/media/usb"}})
{
    Blocker b = blocker(pid, name);
    b.uses = std::move(uses);
    return b;
}

// Firefox itself, one of its helpers, a shell with three uses, an image attached from the drive,
// a swap file and a sandbox's private copy of the mount.
BlockerReport crowdedReport()
{
    const OwningApp firefox{.pid = 300, .name = "Firefox", .bundleIdentifier = "firefox", .bundlePath = {}, .startTime = {}};
    Blocker app = process(300, "firefox", {{Blocker::Reason::openFile, "/media/usb/photos/cat.jpg"}});
    app.app = firefox, app.isAppProcess = true;
    Blocker helper = process(301, "Web Content");
    helper.app = firefox;
    const Blocker shell = process(302, "bash", {{Blocker::Reason::workingDirectory, "/media/usb/src"},
                                                {Blocker::Reason::openFile, "/media/usb/src/notes.txt"},
                                                {Blocker::Reason::mappedFile, "/media/usb/lib/libx.so"}});
    const QList<SystemHolder> holders{{.kind = SystemHolder::Kind::swap, .subject = "/media/usb/swapfile"},
                                      {.kind = SystemHolder::Kind::mountNamespace, .subject = "mnt:[4026532]",
                                       .users = {"app-flatpak-org.example.Viewer.scope", "viewer (900)"}, .keepsAlive = true}};
    return BlockerReport{{app, helper, shell}, {ImageBlocker{"/media/usb/images/disk.img", "loop3"}}, true, 80, {}, holders};
}

// The panel where a drive card puts it: in the card's status area, which follows the ejector.
class BlockersViewTest : public ::testing::Test, protected EjectorRig {
protected:
    BlockersViewTest()
    {
        host.setFixedWidth(340);
        auto* status = new EjectStatusView(*ejector, usb.id, "Ejecting…", &host);
        (new QVBoxLayout(&host))->addWidget(status);
        QObject::connect(ejector.get(), &Ejector::statusesChanged, status, &EjectStatusView::refresh);
        host.show();
    }

    // The panel the card shows, if any.
    BlockersView* view() const
    {
        for (BlockersView* panel : host.findChildren<BlockersView*>())
            if (panel->isVisible())
                return panel;
        return nullptr;
    }
    // An eject refused as busy, with these holders found.
    void failBusy(const BlockerReport& report)
    {
        disks->unmountAnswers["sdb"] = Dissent{Dissent::busy, std::nullopt};
        nextReport = report;
        run(ejector->eject(usb, false));
        settle();
    }
    void rescan(std::optional<QList<Blocker>> blockers = std::nullopt)
    {
        if (blockers)
            nextReport.blockers = *blockers;
        clock.advance(Ejector::rescanInterval);
        settle();
    }
    // Presses as a screen reader does and waits for the click.
    bool press(const QString& name) const { return test::AccessibleTree::press(tree.find(name)); }
    void expectShown(const QStringList& names, bool shown = true) const
    {
        for (const QString& name : names)
            EXPECT_EQ(tree.shows(name), shown) << name.toStdString();
    }

    QWidget host;
    mallowby::AccessibleTree tree{{&host}};
};

} // namespace

TEST_F(BlockersViewTest, WhosUsingThisLooksFirstThenListsImagesAndProcessesWithTheirRemedies)
{
    EXPECT_EQ(view(), nullptr);
    scanGate = ScanGate::make();
    ejector->inspect(usb);
    settle();
    ASSERT_NE(view(), nullptr);
    EXPECT_TRUE(ejector->hasLiveRescan(usb.id));
    expectShown({"Who's using it", "Looking for what's using it…"});
    expectShown({"force eject…"}, false);
    EXPECT_FALSE(tree.isEnabled("eject"));

    nextReport = crowdedReport();
    std::exchange(scanGate, nullptr)->complete(true);
    ASSERT_TRUE(TestEnvironment::waitUntil([&] { return tree.names().contains("disk.img"); }, 10s));
    const QStringList names = tree.names();
    EXPECT_LT(names.indexOf("disk.img"), names.indexOf("Firefox"));
    EXPECT_LT(names.indexOf("Firefox"), names.indexOf("Web Content"));
    EXPECT_LT(names.indexOf("bash"), names.indexOf("/media/usb/swapfile"));  // other holders after the processes
    // The app: a subtitle from the pid, and quit; a helper: the app it belongs to, and terminate;
    // other holders: what they are and what can be done, with no button.
    expectShown({"pid 300 · open file", "/media/usb/photos/cat.jpg", "in Firefox · pid 301 · working directory",
                 "Terminate Firefox, pid 301…", "pid 302 · working directory", "Used as swap space",
                 "Turning it off (swapoff) needs an administrator.",
                 "Mounted in another mount namespace: app-flatpak-org.example.Viewer.scope, viewer (900)",
                 "A private copy: the unmount succeeds, but the drive stays in use until these processes end."});
    expectShown({"Looking for what's using it…", "Quit Web Content", "Terminate /media/usb/swapfile…", "force eject…",
                 "open file: /media/usb/src/notes.txt"}, false);
    EXPECT_TRUE(tree.isEnabled("eject"));

    // Only the shell has further uses: two of them, shown on request and kept through a rescan.
    EXPECT_EQ(names.count("2 more"), 1);
    EXPECT_EQ(tree.find("2 more")->text(QAccessible::Value), "collapsed");
    ASSERT_TRUE(press("2 more"));
    EXPECT_EQ(tree.find("2 more")->text(QAccessible::Value), "expanded");
    rescan();
    expectShown({"open file: /media/usb/src/notes.txt", "mapped file: /media/usb/lib/libx.so"});

    ASSERT_TRUE(press("Quit Firefox"));
    ASSERT_TRUE(press("Eject image disk.img"));
    settle();
    EXPECT_EQ(processes->signals_, (QList<std::pair<qint32, int>>{{300, SIGTERM}}));
    EXPECT_TRUE(disks->calls.contains("eject loop3"));
    nextReport = {};
    rescan();
    expectShown({"None of your apps is using the drive."});
    expectShown({"Firefox"}, false);

    ASSERT_TRUE(press("close"));
    EXPECT_EQ(view(), nullptr);
    EXPECT_EQ(ejector->status(usb.id), nullptr);
    EXPECT_FALSE(ejector->hasLiveRescan(usb.id));
}

TEST_F(BlockersViewTest, TerminateLeadsToKillWhichGoesAwayWhenTheProcessLeavesTheReport)
{
    failBusy({.blockers = {process(501, "bash")}, .images = {}, .processCount = 10, .holders = {}});
    ASSERT_NE(view(), nullptr);
    expectShown({"Couldn't eject", "Files on the drive are in use.", "Still mounted: usb"});
    expectShown({"1 more"}, false);  // a single use has no disclosure
    EXPECT_TRUE(tree.isEnabled("retry"));

    // Escape takes the question back without a signal.
    ASSERT_TRUE(press("Terminate bash, pid 501…"));
    expectShown({"Terminate bash? It's asked to stop (SIGTERM); unsaved work in it may be lost."});
    expectShown({"retry"}, false);
    QTest::keyClick(view(), Qt::Key_Escape);
    EXPECT_FALSE(view()->confirmation().has_value());
    expectShown({"retry"});
    EXPECT_TRUE(processes->signals_.isEmpty());

    // terminate → SIGTERM, then the offer to kill; kill → SIGKILL.
    ASSERT_TRUE(press("Terminate bash, pid 501…"));
    ASSERT_TRUE(press("terminate"));
    const QString waiting = "Waiting for bash to exit. It can be stopped at once (SIGKILL), with no chance to save.";
    expectShown({waiting, "wait"});
    ASSERT_TRUE(press("kill"));
    EXPECT_EQ(processes->signals_, (QList<std::pair<qint32, int>>{{501, SIGTERM}, {501, SIGKILL}}));
    EXPECT_FALSE(view()->confirmation().has_value());

    // Waiting again: a rescan that still lists the process keeps the question, one without it
    // takes it away; nor is a process that has gone offered for termination (its pid may be
    // another's soon).
    ASSERT_TRUE(press("Terminate bash, pid 501…"));
    ASSERT_TRUE(press("terminate"));
    rescan();
    expectShown({waiting});
    rescan(QList{process(502, "vim", {{Blocker::Reason::openFile, "/media/usb/a.txt"}})});
    expectShown({waiting}, false);
    expectShown({"retry", "vim"});
    ASSERT_TRUE(press("Terminate vim, pid 502…"));
    rescan(QList{process(503, "less")});
    EXPECT_FALSE(view()->confirmation().has_value());
    EXPECT_FALSE(press("terminate"));
}

TEST_F(BlockersViewTest, ForceEjectAsksFirstAndReturnRetries)
{
    failBusy({.blockers = {process(601, "cp", {{Blocker::Reason::openFile, "/media/usb/big.iso"}})}, .images = {}, .processCount = 10, .holders = {}});
    // Return is the panel's default action: retry, refused again.
    view()->setFocus();
    QTest::keyClick(view(), Qt::Key_Return);
    settle();
    EXPECT_EQ(disks->calls.count("unmount sdb"), 2);

    ASSERT_TRUE(press("force eject…"));
    expectShown({"Force eject? Apps with files open on the drive may lose or damage them. "
                 "It is switched off, and can be unplugged, only once they have closed those files."});
    ASSERT_TRUE(press("cancel"));
    EXPECT_FALSE(disks->calls.contains("unmount sdb force"));
    ASSERT_TRUE(press("force eject…"));
    nextReport = BlockerReport{};  // the holders let go, so the power can go
    ASSERT_TRUE(press("force eject"));
    ASSERT_TRUE(TestEnvironment::waitUntil([&] { return ejector->status(usb.id) == nullptr; }, 10s));
    EXPECT_EQ(disks->calls.mid(disks->calls.size() - 2), (QStringList{"unmount sdb force", "eject sdb"}));
    EXPECT_EQ(view(), nullptr);
    EXPECT_FALSE(ejector->hasLiveRescan(usb.id));
}

TEST_F(BlockersViewTest, WhileAnEjectRunsOnlyCloseWorksAndWhileAScanRunsForceEjectToo)
{
    disks->gate = OneShot<bool>::make();
    ejector->eject(usb, false);
    settle();
    ASSERT_NE(view(), nullptr);
    EXPECT_TRUE(tree.isEnabled("close"));
    EXPECT_FALSE(tree.isEnabled("eject"));
    disks->unmountAnswers["sdb"] = Dissent{Dissent::busy, std::nullopt};
    nextReport = {.blockers = {process(701, "bash")}, .images = crowdedReport().images, .processCount = 10, .holders = {}};
    std::exchange(disks->gate, nullptr)->complete(true);
    settle();
    ASSERT_TRUE(tree.isEnabled("retry"));

    // A new scan runs over the listed holders: their buttons wait with the others, but a forced
    // eject need not wait for the scan.
    scanGate = ScanGate::make();
    ejector->inspect(usb);
    settle();
    EXPECT_TRUE(tree.isEnabled("close"));
    for (const QString control : {"retry", "force eject…", "Terminate bash, pid 701…", "Eject image disk.img"}) {
        EXPECT_TRUE(tree.shows(control)) << control.toStdString();
        EXPECT_EQ(tree.isEnabled(control), control == "force eject…") << control.toStdString();
    }
    ASSERT_TRUE(press("force eject…"));
    ASSERT_TRUE(press("force eject"));
    std::exchange(scanGate, nullptr)->complete(true);
    EXPECT_TRUE(TestEnvironment::waitUntil([&] { return disks->calls.contains("unmount sdb force"); }, 10s));
    // The holder lets go: the forced eject ends, and leaves no task waiting behind the test.
    nextReport = {};
    EXPECT_TRUE(TestEnvironment::waitUntil([&] {
        clock.advance(1s);
        return !ejector->isEjecting(usb.id);
    }, 10s));
}
