#include "TrayDesktop.h"

#include "support/LoopImage.h"

#include <gtest/gtest.h>

using namespace mallowby::test;
using namespace std::chrono_literals;

namespace {

// A loop image held by a shell that ignores SIGTERM (its working directory is on the drive),
// and the app in a tray, operated through its accessibility driver as a screen reader would.
class PopoverBlockers : public ::testing::Test {
protected:
    void SetUp() override
    {
        if (const auto missing = TestEnvironment::missingForEjects())
            GTEST_SKIP() << missing->toStdString();
        desktop = std::make_unique<TrayDesktop>();
        if (desktop->missing())
            GTEST_SKIP() << desktop->missing()->toStdString();
        ASSERT_FALSE(desktop->failure()) << desktop->failure()->toStdString();
        image = std::make_unique<LoopImage>("HeldE2E", 32, "held-e2e.img");
        ASSERT_TRUE(image->isReady()) << image->error().toStdString();
        ASSERT_TRUE(image->mount()) << image->error().toStdString();
        ASSERT_TRUE(image->waitForUdisks());

        holder.setWorkingDirectory(image->mountPath());
        holder.start("/bin/sh", {"-c", "trap '' TERM; exec sleep 600"});
        ASSERT_TRUE(holder.waitForStarted());

        desktop->startApp({{"MALLOWBY_ACCESSIBILITY_DRIVER", "1"}});
        const auto settled = desktop->settledIcon();
        ASSERT_TRUE(settled) << "the icon never settled in the tray";
        icon = *settled;
    }
    void TearDown() override
    {
        holder.kill();
        holder.waitForFinished();
        if (desktop)
            desktop->stopApp();
    }

    // Waits until the app shows (or, with `shown` false, no longer shows) every one of the names.
    bool waitForNames(const QStringList& names, bool shown = true, std::chrono::milliseconds timeout = 10s)
    {
        return TestEnvironment::waitUntil(
            [&] {
                const QStringList now = desktop->accessibleNames();
                return std::all_of(names.begin(), names.end(), [&](const QString& name) { return now.contains(name) == shown; });
            },
            timeout);
    }

    std::unique_ptr<TrayDesktop> desktop;
    std::unique_ptr<LoopImage> image;
    QProcess holder;
    Window icon;
};

} // namespace

TEST_F(PopoverBlockers, AHolderIgnoringSigtermIsTerminatedThenKilledAndTheDriveEjectsByItself)
{
    desktop->click(icon.geometry.center(), 1);
    ASSERT_TRUE(TestEnvironment::waitUntil([&] { return desktop->popover().has_value(); }, 5s)) << "the popover did not open";
    const QString eject = "Eject held-e2e.img";
    ASSERT_TRUE(waitForNames({eject})) << desktop->accessibleNames().join(" | ").toStdString();

    desktop->writeToAppOutput("SpiRegistry daemon is running with well-known name - org.a11y.atspi.Registry");
    ASSERT_TRUE(desktop->press(eject));
    const QString terminate = QStringLiteral("Terminate sleep, pid %1…").arg(holder.processId());
    ASSERT_TRUE(waitForNames({"Couldn't eject", "Files on the drive are in use.", terminate}))
        << desktop->accessibleNames().join(" | ").toStdString();
    EXPECT_TRUE(image->isInMountTable());

    ASSERT_TRUE(desktop->press(terminate));
    ASSERT_TRUE(waitForNames({"Terminate sleep? It's asked to stop (SIGTERM); unsaved work in it may be lost."}));
    ASSERT_TRUE(desktop->press("terminate"));
    const QString waiting = "Waiting for sleep to exit. It can be stopped at once (SIGKILL), with no chance to save.";
    ASSERT_TRUE(waitForNames({waiting}));
    // It ignores SIGTERM: still there after a live rescan or two.
    EXPECT_FALSE(holder.waitForFinished(4500));
    EXPECT_TRUE(desktop->accessibleNames().contains(waiting));

    ASSERT_TRUE(desktop->press("kill"));
    ASSERT_TRUE(holder.waitForFinished(5000)) << "SIGKILL did not end the holder";
    EXPECT_TRUE(TestEnvironment::waitUntil([&] { return !image->isInMountTable() && !image->isAttached(); }, 15s)) << "the drive was not ejected";
    if (!image->isAttached())
        image->markEjected();  // its loop device may serve someone else by now
    EXPECT_TRUE(waitForNames({eject, "Couldn't eject"}, false)) << desktop->accessibleNames().join(" | ").toStdString();
    EXPECT_TRUE(desktop->popover().has_value());
}
