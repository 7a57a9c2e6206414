#include "TrayDesktop.h"

#include "support/LoopImage.h"

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
