#include "TrayDesktop.h"

#include "MenuBar/StatusNotifierItem.h"

#include "support/AppProcess.h"
#include "support/LoopImage.h"

#include <QDBusArgument>
#include <QDBusMessage>
#include <QDBusVariant>
#include <QImage>
#include <QScopeGuard>

#include <gtest/gtest.h>

using namespace mallowby::test;

namespace {

constexpr bool popover = true, menu = false;

} // namespace

// The app in trayer's tray, driven by clicks and keys and, as a screen reader would, through its
// accessibility driver: a second launch hands over; clicks and keys open and close the popover
// and the menu; a held image's holder is terminated, then killed, and the drive ejects by
// itself; with a share whose statfs never answers, Quit and then SIGTERM end the app at once.
TEST(Tray, ClicksAndKeysAHeldImageAndQuittingWithAHungShare)
{
    TrayDesktop desktop;
    if (desktop.missing())
        GTEST_SKIP() << desktop.missing()->toStdString();
    ASSERT_FALSE(desktop.failure()) << desktop.failure()->toStdString();
    const auto settled = desktop.startApp({{"MALLOWBY_ACCESSIBILITY_DRIVER", "1"}});
    ASSERT_TRUE(settled) << "the icon never settled in the tray";
    const QRect icon = *settled;
    EXPECT_GE(icon.width(), 22);  // as wide as the image asks for, at the height trayer gives
    EXPECT_LE(icon.height(), 22);

    SCOPED_TRACE("a second launch");
    ASSERT_FALSE(desktop.appWindow(popover).has_value());
    const auto second = desktop.launchAgain();
    EXPECT_EQ(second.exitCode, 0) << second.err.toStdString();
    EXPECT_EQ(second.out, "mallowby is already running; opened its popover.\n");
    ASSERT_TRUE(desktop.waitForWindow(popover)) << "the first instance's popover did not open";
    EXPECT_EQ(desktop.appWindows().size(), 1);
    EXPECT_EQ(desktop.app().state(), QProcess::Running);
    const QRect shown = desktop.appWindow(popover)->geometry;
    EXPECT_TRUE(shown.top() >= icon.bottom() && shown.top() <= icon.bottom() + 10 && shown.right() <= 1279) << "not under the icon";

    SCOPED_TRACE("Escape, then a second click on the icon, close the popover, which must not open again");
    desktop.key("Escape");
    ASSERT_TRUE(desktop.waitForWindow(popover, false));
    desktop.click(icon.center(), 1);
    ASSERT_TRUE(desktop.waitForWindow(popover));
    desktop.click(icon.center(), 1);
    ASSERT_TRUE(desktop.waitForWindow(popover, false));
    EXPECT_FALSE(TestEnvironment::waitUntil([&] { return desktop.appWindow(popover).has_value(); }, 1s));

    // Six items and a separator; the first enabled item opens the popover (Eject All is disabled
    // without an external drive), the fourth checks for updates, which finds a build without a
    // feed up to date.
    SCOPED_TRACE("a right click and a control click open the same menu under the icon");
    desktop.click(icon.center(), 3);
    ASSERT_TRUE(desktop.waitForWindow(menu));
    const QRect first = desktop.appWindow(menu)->geometry;
    EXPECT_GE(first.top(), icon.bottom());
    EXPECT_GE(first.height(), 6 * 18);
    desktop.key("Escape");
    ASSERT_TRUE(desktop.waitForWindow(menu, false));
    desktop.click(icon.center(), 1, "ctrl");
    ASSERT_TRUE(desktop.waitForWindow(menu));
    EXPECT_FALSE(desktop.appWindow(popover).has_value());
    EXPECT_EQ(desktop.appWindow(menu)->geometry.size(), first.size());
    desktop.key("Down");
    desktop.key("Return");
    ASSERT_TRUE(desktop.waitForWindow(popover));
    desktop.key("Escape");
    ASSERT_TRUE(desktop.waitForWindow(popover, false));
    desktop.click(icon.center(), 3);
    ASSERT_TRUE(desktop.waitForWindow(menu));
    for (const char* key : {"Down", "Down", "Down", "Down", "Return"})
        desktop.key(key);
    const auto upToDate = [&](bool shown) { return TestEnvironment::waitUntil([&] { return desktop.windowsNamed("up to date!").isEmpty() != shown; }, 10s); };
    ASSERT_TRUE(upToDate(true));
    desktop.key("Return");
    EXPECT_TRUE(upToDate(false));

    if (const auto missing = TestEnvironment::missingForEjects()) {
        std::printf("no held image: %s\n", qPrintable(*missing));
    } else {
        SCOPED_TRACE("an image held by a shell that ignores SIGTERM (its working directory is on the drive)");
        LoopImage image("HeldE2E", 32, "held-e2e.img");
        ASSERT_TRUE(image.isReady() && image.mount() && image.waitForUdisks()) << image.error().toStdString();
        QProcess holder;
        holder.setWorkingDirectory(image.mountPath());
        holder.start("/bin/sh", {"-c", "trap '' TERM; exec sleep 600"});
        ASSERT_TRUE(holder.waitForStarted());
        const auto cleanup = qScopeGuard([&] { holder.kill(), holder.waitForFinished(); });
        // Until the app shows (or, with `shown` false, no longer shows) every one of the names.
        const auto names = [&](const QStringList& names, bool shown = true) {
            QStringList now;
            const bool done = TestEnvironment::waitUntil([&] {
                now = desktop.accessibleNames();
                return std::all_of(names.begin(), names.end(), [&](const QString& name) { return now.contains(name) == shown; });
            }, 15s);
            EXPECT_TRUE(done) << now.join(" | ").toStdString();
            return done;
        };
        desktop.click(icon.center(), 1);
        ASSERT_TRUE(desktop.waitForWindow(popover)) << "the popover did not open";
        const QString eject = "Eject held-e2e.img";
        ASSERT_TRUE(names({eject}));
        // A line a desktop portal's service writes into the app's output is not the driver's answer.
        desktop.writeToAppOutput("SpiRegistry daemon is running with well-known name - org.a11y.atspi.Registry");
        ASSERT_TRUE(desktop.press(eject));
        const QString terminate = QStringLiteral("Terminate sleep, pid %1…").arg(holder.processId());
        ASSERT_TRUE(names({"Couldn't eject", "Files on the drive are in use.", terminate}));
        EXPECT_TRUE(image.isInMountTable());
        ASSERT_TRUE(desktop.press(terminate));
        ASSERT_TRUE(names({"Terminate sleep? It's asked to stop (SIGTERM); unsaved work in it may be lost."}));
        ASSERT_TRUE(desktop.press("terminate"));
        const QString waiting = "Waiting for sleep to exit. It can be stopped at once (SIGKILL), with no chance to save.";
        ASSERT_TRUE(names({waiting}));
        // It ignores SIGTERM: still there after a live rescan or two, and still asked about.
        EXPECT_FALSE(holder.waitForFinished(4500));
        ASSERT_TRUE(names({waiting}));
        ASSERT_TRUE(desktop.press("kill"));
        ASSERT_TRUE(holder.waitForFinished(5000)) << "SIGKILL did not end the holder";
        EXPECT_TRUE(TestEnvironment::waitUntil([&] { return !image.isInMountTable() && !image.isAttached(); }, 15s)) << "not ejected";
        if (!image.isAttached())
            image.markEjected();  // its loop device may serve someone else by now
        EXPECT_TRUE(names({eject, "Couldn't eject"}, false));
        EXPECT_TRUE(desktop.appWindow(popover).has_value());
        desktop.key("Escape");
        ASSERT_TRUE(desktop.waitForWindow(popover, false));
    }

    if (const auto missing = HungMount::missing())
        GTEST_SKIP() << missing->toStdString();
    HungMount share;
    ASSERT_TRUE(share.isMounted()) << share.error().toStdString();
    // Quit from the menu (Up from the top wraps to it), then SIGTERM to the app started again.
    for (const bool quit : {true, false}) {
        SCOPED_TRACE(quit ? "Quit with a hung share" : "SIGTERM with a hung share");
        if (!quit) {
            ASSERT_TRUE(desktop.startApp()) << "the icon never settled in the tray";
        }
        const qint64 pid = desktop.appPid();
        ASSERT_GT(pid, 0);
        const auto helperStuck = [&] {
            const auto children = childrenOf(pid);
            return std::any_of(children.cbegin(), children.cend(), [](qint64 child) { return threadStates(child) == "D"; });
        };
        ASSERT_TRUE(TestEnvironment::waitUntil(helperStuck, 10s)) << "no read of the share is stuck";
        ASSERT_FALSE(threadStates(pid).contains('D')) << threadStates(pid).toStdString();
        if (quit) {
            desktop.click(icon.center(), 3);
            ASSERT_TRUE(desktop.waitForWindow(menu)) << "the menu did not open";
            desktop.key("Up");
        }
        QElapsedTimer since;
        since.start();
        if (quit)
            desktop.key("Return");
        else
            ::kill(pid_t(pid), SIGTERM);
        ASSERT_TRUE(TestEnvironment::waitUntil([&] { return !QFile::exists(QStringLiteral("/proc/%1").arg(pid)); }, 5s))
            << "still there after 5 s, threads " << threadStates(pid).toStdString();
        EXPECT_LT(since.elapsed(), 1000);
        EXPECT_TRUE(desktop.app().waitForFinished(5000));
        EXPECT_EQ(desktop.app().exitStatus(), QProcess::NormalExit);
        EXPECT_EQ(desktop.app().exitCode(), 0);
        EXPECT_TRUE(TestEnvironment::waitUntil([&] { return !desktop.trayIcon().has_value(); }, 3s)) << "the icon stayed in the tray";
    }
}

// The app in a real xfce4-panel: its StatusNotifierItem registers with the panel's status tray,
// which asks for the square face, opens the popover on a left click and draws the exported menu.
TEST(XfcePanel, TheItemRegistersSquareAndItsClicksReachThePopoverAndQuit)
{
    TrayDesktop desktop(TrayDesktop::Host::xfce);
    if (desktop.missing())
        GTEST_SKIP() << desktop.missing()->toStdString();
    if (desktop.failure())
        GTEST_SKIP() << "the panel cannot start here: " << desktop.failure()->toStdString();
    desktop.startApp();
    QDBusConnection bus = desktop.bus();
    const auto get = [&](const QString& service, const QString& path, const QString& interface, const QString& property) {
        const QDBusMessage reply = bus.call(QDBusMessage::createMethodCall(service, path, "org.freedesktop.DBus.Properties", "Get")
                                            << interface << property);
        return reply.arguments().value(0).value<QDBusVariant>().variant();
    };
    QString service;
    ASSERT_TRUE(TestEnvironment::waitUntil([&] {
        service = get("org.kde.StatusNotifierWatcher", "/StatusNotifierWatcher", "org.kde.StatusNotifierWatcher", "RegisteredStatusNotifierItems")
                      .toStringList().value(0).section('/', 0, 0);
        return !service.isEmpty();
    }, 20s)) << "the item never registered with the panel";
    mallowby::StatusNotifierItem::Pixmaps pixmaps;
    get(service, "/StatusNotifierItem", "org.kde.StatusNotifierItem", "IconPixmap").value<QDBusArgument>() >> pixmaps;
    ASSERT_FALSE(pixmaps.isEmpty());
    for (const auto& pixmap : pixmaps)
        EXPECT_EQ(pixmap.width, pixmap.height) << "xfce4-panel gets the square face";

    // The item sits at the right end of the panel.
    const auto panel = desktop.panel();
    ASSERT_TRUE(panel);
    const QPoint item(panel->geometry.right() - panel->geometry.height() / 2, panel->geometry.center().y());
    // The panel shows the item a while after it registered (longer in a slow build): clicked
    // until the popover opens.
    const auto opened = [&] {
        desktop.click(item, 1);
        return TestEnvironment::waitUntil([&] { return desktop.appWindow(true).has_value(); }, 5s);
    };
    ASSERT_TRUE(opened() || opened() || opened()) << "no popover";
    EXPECT_LE(desktop.appWindow(true)->geometry.top(), panel->geometry.bottom() + 12) << "the popover is not at the panel";
    desktop.key("Escape");
    ASSERT_TRUE(desktop.waitForWindow(true, false));

    // The panel draws the exported menu in a window of its own; its last item quits the app.
    const auto panelWindows = [&] { return desktop.search({"--class", "."}).size(); };
    const qsizetype before = panelWindows();
    desktop.click(item, 3);
    ASSERT_TRUE(TestEnvironment::waitUntil([&] { return panelWindows() > before; }, 10s)) << "the panel drew no menu";
    desktop.key("Up");
    desktop.key("Return");
    EXPECT_TRUE(desktop.app().waitForFinished(10000)) << "Quit from the panel's menu did not end the app";
}

// Without a tray the image is drawn at scale 2: a bar of 22 points is 44 pixels high, its width
// covering the pinned drive's name over its free space, the trace and the two rate lines.
TEST(SnapshotMode, ThePinnedImageIsDrawnWithItsFreeSpaceAndTheRates)
{
    if (const auto missing = TestEnvironment::missingForLoopDevices())
        GTEST_SKIP() << missing->toStdString();
    LoopImage image("Snapshots", 64);
    ASSERT_TRUE(image.isReady() && image.mount()) << image.error().toStdString();
    const QString uuid = TestEnvironment::run("blkid", {"-o", "value", "-s", "UUID", image.device()}).out.trimmed().toUpper();
    ASSERT_FALSE(uuid.isEmpty());
    QTemporaryDir folder;
    const QString snapshot = folder.filePath("tray.png");
    AppProcess process({{"MALLOWBY_SNAPSHOT", snapshot}},
                       QStringLiteral("[General]\nmenuBarStyle=spaceActivity\npinnedVolumeID=%1\n").arg(uuid).toUtf8());
    // Ink in the left third, the middle and the right quarter; the first image may come before the
    // figures are read, and the one after them replaces it.
    QImage png;
    const auto inkBetween = [&](double from, double to) {
        for (int x = int(png.width() * from); x < int(png.width() * to); ++x)
            for (int y = 0; y < png.height(); ++y)
                if (qAlpha(png.pixel(x, y)) > 0)
                    return true;
        return false;
    };
    const bool drawn = TestEnvironment::waitUntil([&] {
        png = QImage(snapshot);
        return png.height() == 44 && png.width() % 2 == 0 && inkBetween(0, 1 / 3.0) && inkBetween(1 / 3.0, 0.75) && inkBetween(0.75, 1);
    }, 20s);
    process.stop();
    EXPECT_TRUE(drawn) << "no full snapshot at " << snapshot.toStdString() << ": " << png.width() << "×" << png.height();
}
