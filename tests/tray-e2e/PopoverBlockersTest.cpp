#include "TrayDesktop.h"

#include "support/LoopImage.h"

#include <QScopeGuard>

#include <gtest/gtest.h>

using namespace mallowby::test;
using namespace std::chrono_literals;

// A loop image held by a shell that ignores SIGTERM (its working directory is on the drive), and
// the app in a tray, operated through its accessibility driver as a screen reader would: the
// holder is terminated, then killed, and the drive ejects by itself.
TEST(PopoverBlockers, AHolderIgnoringSigtermIsTerminatedThenKilledAndTheDriveEjectsByItself)
{
    if (const auto missing = TestEnvironment::missingForEjects())
        GTEST_SKIP() << missing->toStdString();
    TrayDesktop desktop;
    if (desktop.missing())
        GTEST_SKIP() << desktop.missing()->toStdString();
    ASSERT_FALSE(desktop.failure()) << desktop.failure()->toStdString();
    LoopImage image("HeldE2E", 32, "held-e2e.img");
    ASSERT_TRUE(image.isReady() && image.mount() && image.waitForUdisks()) << image.error().toStdString();
    QProcess holder;
    holder.setWorkingDirectory(image.mountPath());
    holder.start("/bin/sh", {"-c", "trap '' TERM; exec sleep 600"});
    ASSERT_TRUE(holder.waitForStarted());
    const auto cleanup = qScopeGuard([&] { holder.kill(), holder.waitForFinished(), desktop.stopApp(); });
    const auto icon = desktop.startApp({{"MALLOWBY_ACCESSIBILITY_DRIVER", "1"}});
    ASSERT_TRUE(icon) << "the icon never settled in the tray";
    // Until the app shows (or, with `shown` false, no longer shows) every one of the names.
    const auto waitForNames = [&](const QStringList& names, bool shown = true) {
        QStringList now;
        const bool done = TestEnvironment::waitUntil([&] {
            now = desktop.accessibleNames();
            return std::all_of(names.begin(), names.end(), [&](const QString& name) { return now.contains(name) == shown; });
        }, 15s);
        EXPECT_TRUE(done) << now.join(" | ").toStdString();
        return done;
    };

    desktop.click(icon->center(), 1);
    ASSERT_TRUE(desktop.waitForWindow(true)) << "the popover did not open";
    const QString eject = "Eject held-e2e.img";
    ASSERT_TRUE(waitForNames({eject}));
    // A line a desktop portal's service writes into the app's output is not the driver's answer.
    desktop.writeToAppOutput("SpiRegistry daemon is running with well-known name - org.a11y.atspi.Registry");
    ASSERT_TRUE(desktop.press(eject));
    const QString terminate = QStringLiteral("Terminate sleep, pid %1…").arg(holder.processId());
    ASSERT_TRUE(waitForNames({"Couldn't eject", "Files on the drive are in use.", terminate}));
    EXPECT_TRUE(image.isInMountTable());

    ASSERT_TRUE(desktop.press(terminate));
    ASSERT_TRUE(waitForNames({"Terminate sleep? It's asked to stop (SIGTERM); unsaved work in it may be lost."}));
    ASSERT_TRUE(desktop.press("terminate"));
    ASSERT_TRUE(waitForNames({"Waiting for sleep to exit. It can be stopped at once (SIGKILL), with no chance to save."}));
    // It ignores SIGTERM: still there after a live rescan or two, and still asked about.
    EXPECT_FALSE(holder.waitForFinished(4500));
    ASSERT_TRUE(waitForNames({"Waiting for sleep to exit. It can be stopped at once (SIGKILL), with no chance to save."}));

    ASSERT_TRUE(desktop.press("kill"));
    ASSERT_TRUE(holder.waitForFinished(5000)) << "SIGKILL did not end the holder";
    EXPECT_TRUE(TestEnvironment::waitUntil([&] { return !image.isInMountTable() && !image.isAttached(); }, 15s)) << "not ejected";
    if (!image.isAttached())
        image.markEjected();  // its loop device may serve someone else by now
    EXPECT_TRUE(waitForNames({eject, "Couldn't eject"}, false));
    EXPECT_TRUE(desktop.appWindow(true).has_value());
}
