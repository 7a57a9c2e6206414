#include "Popover/Blockers/BlockersView.h"
#include "Popover/Cards/EjectStatusView.h"

#include "AccessibleTree.h"
#include "support/EjectorRig.h"

#include <QAccessible>
#include <QTest>
#include <QVBoxLayout>

#include <gtest/gtest.h>

#include <csignal>

using namespace mallowby;
using namespace mallowby::test;

namespace {

Blocker process(qint32 pid, const QString& name, QList<Blocker::Use> uses)
{
    Blocker b = blocker(pid, name);
    b.uses = std::move(uses);
    return b;
}

// Firefox itself, one of its helpers, a shell with three uses, an image attached from the drive,
// a swap file and a sandbox's private copy of the mount.
BlockerReport crowdedReport()
{
    const OwningApp firefox{300, QStringLiteral("Firefox"), QStringLiteral("firefox"), std::nullopt};
    Blocker app = process(300, "firefox", {{Blocker::Reason::openFile, "/media/usb/photos/cat.jpg"}});
    app.app = firefox;
    app.isAppProcess = true;
    Blocker helper = process(301, "Web Content", {{Blocker::Reason::workingDirectory, "/media/usb"}});
    helper.app = firefox;
    Blocker shell = process(302, "bash",
                            {{Blocker::Reason::workingDirectory, "/media/usb/src"},
                             {Blocker::Reason::openFile, "/media/usb/src/notes.txt"},
                             {Blocker::Reason::mappedFile, "/media/usb/lib/libx.so"}});
    const QList<SystemHolder> holders{{.kind = SystemHolder::Kind::swap, .subject = "/media/usb/swapfile"},
                                      {.kind = SystemHolder::Kind::mountNamespace, .subject = "mnt:[4026532]",
                                       .users = {"app-flatpak-org.example.Viewer.scope", "viewer (900)"}, .keepsAlive = true}};
    return BlockerReport{{app, helper, shell}, {ImageBlocker{"/media/usb/images/disk.img", "loop3"}}, true, 80, {}, holders};
}

class BlockersViewTest : public ::testing::Test, protected EjectorRig {
protected:
    // The panel where a drive card puts it: in the card's status area, which follows the ejector.
    BlockersViewTest()
    {
        host.setFixedWidth(340);
        auto* layout = new QVBoxLayout(&host);
        auto* status = new EjectStatusView(*ejector, usb.id, QStringLiteral("Ejecting…"), &host);
        layout->addWidget(status);
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

    // An eject refused as busy, with the given holders found.
    void failBusy(const BlockerReport& report)
    {
        disks->unmountAnswers["sdb"] = Dissent{Dissent::busy, std::nullopt};
        nextReport = report;
        run(ejector->eject(usb, false));
        settle();
    }

    QWidget host;
    // Presses as a screen reader does and lets the press take effect.
    struct Tree : AccessibleTree {
        using AccessibleTree::AccessibleTree;
        bool press(const QString& name) const
        {
            const bool pressed = AccessibleTree::press(name) == Press::pressed;
            QTest::qWait(130);
            return pressed;
        }
    } tree{{&host}};
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
    EXPECT_TRUE(tree.shows("Who's using it"));
    EXPECT_TRUE(tree.shows("Looking for what's using it…"));
    EXPECT_FALSE(tree.isEnabled("eject"));
    EXPECT_FALSE(tree.shows("force eject…"));

    nextReport = crowdedReport();
    std::exchange(scanGate, nullptr)->complete(true);
    // New rows show on a later turn of the event loop, however slow the build.
    ASSERT_TRUE(TestEnvironment::waitUntil([&] { return tree.names().contains("disk.img"); }, std::chrono::seconds(10)));
    EXPECT_FALSE(tree.shows("Looking for what's using it…"));
    const QStringList names = tree.names();
    EXPECT_LT(names.indexOf("disk.img"), names.indexOf("Firefox"));
    EXPECT_LT(names.indexOf("Firefox"), names.indexOf("Web Content"));
    // The app itself: its name, a subtitle from the pid, and quit.
    EXPECT_TRUE(tree.shows("pid 300 · open file"));
    EXPECT_TRUE(tree.shows("/media/usb/photos/cat.jpg"));
    // A helper of the app: its process name, the app it belongs to, and terminate.
    EXPECT_TRUE(tree.shows("in Firefox · pid 301 · working directory"));
    EXPECT_TRUE(tree.shows("Terminate Firefox, pid 301…"));
    EXPECT_FALSE(tree.shows("Quit Web Content"));
    EXPECT_TRUE(tree.shows("pid 302 · working directory"));
    // What else holds it, after the processes: what it is and what can be done, with no button.
    EXPECT_LT(names.indexOf("bash"), names.indexOf("/media/usb/swapfile"));
    for (const QString text : {"Used as swap space", "Turning it off (swapoff) needs an administrator.",
                               "Mounted in another mount namespace: app-flatpak-org.example.Viewer.scope, viewer (900)",
                               "A private copy: the unmount succeeds, but the drive stays in use until these processes end."})
        EXPECT_TRUE(tree.shows(text)) << text.toStdString();
    EXPECT_FALSE(tree.shows("Terminate /media/usb/swapfile…"));
    // No failure: the primary button ejects and no force is offered.
    EXPECT_TRUE(tree.isEnabled("eject"));
    EXPECT_FALSE(tree.shows("force eject…"));

    // Only the shell has further uses: two of them, shown on request and kept through a rescan.
    EXPECT_EQ(names.count("2 more"), 1);
    EXPECT_FALSE(tree.shows("open file: /media/usb/src/notes.txt"));
    EXPECT_EQ(tree.find("2 more")->text(QAccessible::Value), "collapsed");
    ASSERT_TRUE(tree.press("2 more"));
    EXPECT_EQ(tree.find("2 more")->text(QAccessible::Value), "expanded");
    EXPECT_TRUE(tree.shows("open file: /media/usb/src/notes.txt"));
    EXPECT_TRUE(tree.shows("mapped file: /media/usb/lib/libx.so"));
    clock.advance(Ejector::rescanInterval);
    settle();
    EXPECT_TRUE(tree.shows("mapped file: /media/usb/lib/libx.so"));

    ASSERT_TRUE(tree.press("Quit Firefox"));
    ASSERT_TRUE(tree.press("Eject image disk.img"));
    settle();
    EXPECT_EQ(processes->signals_, (QList<std::pair<qint32, int>>{{300, SIGTERM}}));
    EXPECT_TRUE(disks->calls.contains("eject loop3"));

    nextReport = {};
    clock.advance(Ejector::rescanInterval);
    settle();
    EXPECT_TRUE(tree.shows("None of your apps is using the drive."));
    EXPECT_FALSE(tree.shows("Firefox"));

    ASSERT_TRUE(tree.press("close"));
    EXPECT_EQ(view(), nullptr);
    EXPECT_EQ(ejector->status(usb.id), nullptr);
    EXPECT_FALSE(ejector->hasLiveRescan(usb.id));
}

TEST_F(BlockersViewTest, TerminateLeadsToKillWhichGoesAwayWhenTheProcessLeavesTheReport)
{
    failBusy(BlockerReport{{process(501, "bash", {{Blocker::Reason::workingDirectory, "/media/usb"}})}, {}, false, 10, {}});
    ASSERT_NE(view(), nullptr);
    EXPECT_TRUE(tree.shows("Couldn't eject"));
    EXPECT_TRUE(tree.shows("Files on the drive are in use."));
    EXPECT_TRUE(tree.shows("Still mounted: usb"));
    EXPECT_FALSE(tree.shows("1 more"));  // a single use has no disclosure
    EXPECT_TRUE(tree.isEnabled("retry"));

    // Escape takes the question back without a signal.
    ASSERT_TRUE(tree.press("Terminate bash, pid 501…"));
    EXPECT_TRUE(tree.shows("Terminate bash? It's asked to stop (SIGTERM); unsaved work in it may be lost."));
    EXPECT_FALSE(tree.shows("retry"));
    QTest::keyClick(view(), Qt::Key_Escape);
    EXPECT_FALSE(view()->confirmation().has_value());
    EXPECT_TRUE(tree.shows("retry"));
    EXPECT_TRUE(processes->signals_.isEmpty());

    // terminate → SIGTERM, then the offer to kill; kill → SIGKILL.
    ASSERT_TRUE(tree.press("Terminate bash, pid 501…"));
    ASSERT_TRUE(tree.press("terminate"));
    const QString waiting = "Waiting for bash to exit. It can be stopped at once (SIGKILL), with no chance to save.";
    EXPECT_TRUE(tree.shows(waiting));
    EXPECT_TRUE(tree.shows("wait"));
    ASSERT_TRUE(tree.press("kill"));
    EXPECT_EQ(processes->signals_, (QList<std::pair<qint32, int>>{{501, SIGTERM}, {501, SIGKILL}}));
    EXPECT_FALSE(view()->confirmation().has_value());

    // Waiting again: a rescan that still lists the process keeps the question, one without it
    // takes it away.
    ASSERT_TRUE(tree.press("Terminate bash, pid 501…"));
    ASSERT_TRUE(tree.press("terminate"));
    clock.advance(Ejector::rescanInterval);
    settle();
    EXPECT_TRUE(tree.shows(waiting));
    nextReport.blockers = {process(502, "vim", {{Blocker::Reason::openFile, "/media/usb/a.txt"}})};
    clock.advance(Ejector::rescanInterval);
    settle();
    EXPECT_FALSE(tree.shows(waiting));
    EXPECT_TRUE(tree.shows("retry"));
    EXPECT_TRUE(tree.shows("vim"));
    // Nor is a process that has gone offered for termination: its pid may be another's soon.
    ASSERT_TRUE(tree.press("Terminate vim, pid 502…"));
    nextReport.blockers = {process(503, "less", {{Blocker::Reason::openFile, "/media/usb/a.txt"}})};
    clock.advance(Ejector::rescanInterval);
    settle();
    EXPECT_FALSE(view()->confirmation().has_value());
    EXPECT_FALSE(tree.press("terminate"));
}

TEST_F(BlockersViewTest, ForceEjectAsksFirstAndReturnRetries)
{
    failBusy(BlockerReport{{process(601, "cp", {{Blocker::Reason::openFile, "/media/usb/big.iso"}})}, {}, false, 10, {}});
    // Return is the panel's default action: retry, refused again.
    view()->setFocus();
    QTest::keyClick(view(), Qt::Key_Return);
    settle();
    EXPECT_EQ(disks->calls.count("unmount sdb"), 2);

    ASSERT_TRUE(tree.press("force eject…"));
    EXPECT_TRUE(tree.shows("Force eject? Apps with files open on the drive may lose or damage them. "
                           "It is switched off, and can be unplugged, only once they have closed those files."));
    ASSERT_TRUE(tree.press("cancel"));
    EXPECT_FALSE(disks->calls.contains("unmount sdb force"));
    ASSERT_TRUE(tree.press("force eject…"));
    nextReport = BlockerReport{};  // the holders let go, so the power can go
    ASSERT_TRUE(tree.press("force eject"));
    ASSERT_TRUE(TestEnvironment::waitUntil([&] { return ejector->status(usb.id) == nullptr; }, std::chrono::seconds(2)));
    EXPECT_EQ(disks->calls.mid(disks->calls.size() - 2), (QStringList{"unmount sdb force", "eject sdb"}));
    EXPECT_EQ(view(), nullptr);
    EXPECT_FALSE(ejector->hasLiveRescan(usb.id));
}

TEST_F(BlockersViewTest, WhileAnEjectRunsOnlyCloseWorksAndWhileAScanRunsForceEjectToo)
{
    // Ejecting, nothing found yet.
    disks->gate = OneShot<bool>::make();
    ejector->eject(usb, false);
    settle();
    ASSERT_NE(view(), nullptr);
    EXPECT_TRUE(tree.isEnabled("close"));
    EXPECT_FALSE(tree.isEnabled("eject"));
    disks->unmountAnswers["sdb"] = Dissent{Dissent::busy, std::nullopt};
    nextReport = BlockerReport{{process(701, "bash", {{Blocker::Reason::workingDirectory, "/media/usb"}})}, crowdedReport().images, false, 10, {}};
    disks->gate->complete(true);
    disks->gate.reset();
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
    ASSERT_TRUE(tree.press("force eject…"));
    ASSERT_TRUE(tree.press("force eject"));
    scanGate->complete(true);
    scanGate.reset();
    EXPECT_TRUE(TestEnvironment::waitUntil([&] { return disks->calls.contains("unmount sdb force"); }, std::chrono::seconds(10)));
}
