#include "Popover/Blockers/AppIcon.h"
#include "Popover/Blockers/BlockersView.h"
#include "Popover/Cards/EjectStatusView.h"

#include "AccessibleTree.h"
#include "support/AccessibleTree.h"
#include "support/EjectorRig.h"
#include "support/StallMeter.h"

#include <QFile>
#include <QImage>
#include <QTemporaryDir>
#include <QTest>
#include <QVBoxLayout>

#include <gtest/gtest.h>

#include <csignal>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

using namespace mallowby;
using namespace mallowby::test;
using namespace std::chrono_literals;

namespace {

using Reason = Blocker::Reason;

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

// An app's icon is read off the main thread within its limit, never from the drive the app holds.
TEST(AppIcon, AnIconFileIsReadOffTheMainThreadWithinItsLimitAndNeverFromTheHeldDrive)
{
    QTemporaryDir dir;
    QImage(16, 16, QImage::Format_ARGB32).save(dir.filePath("app.png"));
    // A blocker of an app whose desktop entry names `icon`, holding `held`.
    const auto appBlocker = [&](const QString& name, const QString& icon, const QString& held) {
        QFile entry(dir.filePath(name + ".desktop"));
        EXPECT_TRUE(entry.open(QIODevice::WriteOnly));
        entry.write(QStringLiteral("[Desktop Entry]\nType=Application\nName=%1\nExec=%1\nIcon=%2\n").arg(name, icon).toUtf8());
        Blocker b = blocker(4242, name, {{Reason::openFile, held}});
        b.app = OwningApp{.pid = 4242, .name = name, .bundleIdentifier = name, .bundlePath = entry.fileName(), .startTime = {}};
        b.isAppProcess = true;
        return b;
    };
    const QObject context;
    int readies = 0;
    const auto ready = [&] { ++readies; };

    EXPECT_EQ(AppIcon::of(appBlocker("held", dir.filePath("app.png"), dir.filePath("doc.txt")), &context, ready), std::nullopt);
    const Blocker local = appBlocker("local", dir.filePath("app.png"), "/proc/self/status");
    EXPECT_EQ(AppIcon::of(local, &context, ready), std::nullopt);
    ASSERT_TRUE(TestEnvironment::waitUntil([&] { return readies == 1; }, 5s));
    const auto icon = AppIcon::of(local, &context, ready);
    ASSERT_TRUE(icon.has_value());
    EXPECT_FALSE(icon->isNull());
    EXPECT_EQ(readies, 1);

    // A file whose open never returns (a dead share): given up after its limit, not read twice.
    ASSERT_EQ(::mkfifo(QFile::encodeName(dir.filePath("stuck.png")).constData(), 0600), 0);
    const Blocker stuck = appBlocker("stuck", dir.filePath("stuck.png"), "/proc/self/status");
    StallMeter stalls;
    EXPECT_EQ(AppIcon::of(stuck, &context, ready), std::nullopt);
    EXPECT_TRUE(TestEnvironment::waitUntil([&] { return readies == 2; }, 5s)) << "the read was never given up";
    EXPECT_GE(stalls.elapsed(), 1400);
    EXPECT_EQ(AppIcon::of(stuck, &context, ready), std::nullopt);
    EXPECT_FALSE(TestEnvironment::waitUntil([&] { return readies > 2; }, 200ms)) << "a second read was started";
    EXPECT_LT(stalls.stop(), StallMeter::limitMs) << "longest main-thread stall in ms";
    // Let the reading thread go.
    if (const int writer = ::open(QFile::encodeName(dir.filePath("stuck.png")).constData(), O_WRONLY | O_NONBLOCK); writer >= 0)
        ::close(writer);
}

// Firefox itself, one of its helpers, a shell with three uses, an image attached from the drive,
// a swap file and a sandbox's private copy of the mount.
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

    const OwningApp firefox{.pid = 300, .name = "Firefox", .bundleIdentifier = "firefox", .bundlePath = {}, .startTime = {}};
    Blocker app = blocker(300, "firefox", {{Reason::openFile, "/media/usb/photos/cat.jpg"}}), helper = blocker(301, "Web Content");
    app.app = helper.app = firefox;
    app.isAppProcess = true;
    const Blocker shell = blocker(302, "bash", {{Reason::workingDirectory, "/media/usb/src"}, {Reason::openFile, "/media/usb/src/notes.txt"},
                                                {Reason::mappedFile, "/media/usb/lib/libx.so"}});
    const QList<SystemHolder> holders{{.kind = SystemHolder::Kind::swap, .subject = "/media/usb/swapfile"},
                                      {.kind = SystemHolder::Kind::mountNamespace, .subject = "mnt:[4026532]",
                                       .users = {"app-flatpak-org.example.Viewer.scope", "viewer (900)"}, .keepsAlive = true}};
    nextReport = BlockerReport{{app, helper, shell}, {ImageBlocker{"/media/usb/images/disk.img", "loop3"}}, true, 80, {}, holders};
    std::exchange(scanGate, nullptr)->complete(true);
    ASSERT_TRUE(TestEnvironment::waitUntil([&] { return tree.names().contains("disk.img"); }, 10s));
    const QStringList names = tree.names();
    EXPECT_LT(names.indexOf("disk.img"), names.indexOf("Firefox"));
    EXPECT_LT(names.indexOf("Firefox"), names.indexOf("Web Content"));
    EXPECT_LT(names.indexOf("bash"), names.indexOf("/media/usb/swapfile"));  // other holders after the processes
    // The app: its pid, and quit; a helper: its app, and terminate; other holders: what to do, no button.
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

// A busy eject: terminate, kill, a question that goes with its process, Return retries, force eject asks first.
TEST_F(BlockersViewTest, TerminateKillRetryAndForceEject)
{
    disks->answers["sdb"] = Dissent{Dissent::busy, std::nullopt};
    nextReport = {.blockers = {blocker(501, "bash")}, .images = {}, .processCount = 10, .holders = {}};
    run(ejector->eject(usb, false));
    settle();
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

    // A rescan that still lists the process keeps the question, one without it takes it away.
    ASSERT_TRUE(press("Terminate bash, pid 501…"));
    ASSERT_TRUE(press("terminate"));
    rescan();
    expectShown({waiting});
    rescan(QList{blocker(502, "vim", {{Reason::openFile, "/media/usb/a.txt"}})});
    expectShown({waiting}, false);
    expectShown({"retry", "vim"});
    ASSERT_TRUE(press("Terminate vim, pid 502…"));
    rescan(QList{blocker(503, "less")});
    EXPECT_FALSE(view()->confirmation().has_value());
    EXPECT_FALSE(press("terminate"));

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
    disks->holdDisks = true;
    ejector->eject(usb, false);
    settle();
    ASSERT_NE(view(), nullptr);
    EXPECT_TRUE(tree.isEnabled("close"));
    EXPECT_FALSE(tree.isEnabled("eject"));
    disks->answers["sdb"] = Dissent{Dissent::busy, std::nullopt};
    nextReport = {.blockers = {blocker(701, "bash")}, .images = {ImageBlocker{"/media/usb/images/disk.img", "loop3"}}, .processCount = 10, .holders = {}};
    disks->holdDisks = false;
    disks->release();
    settle();
    ASSERT_TRUE(tree.isEnabled("retry"));

    // While a scan runs the holders' buttons wait, but a forced eject need not.
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
