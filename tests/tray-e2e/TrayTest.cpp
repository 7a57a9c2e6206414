#include "TrayDesktop.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>

using namespace mallowby::test;
using namespace std::chrono_literals;

namespace {

constexpr bool popover = true, menu = false;

// The app in trayer's tray; with `hung`, while a share's statfs never answers and a capacity
// read of it is stuck.
class Tray : public ::testing::TestWithParam<const char*> {
protected:
    void start(bool hung = false)
    {
        if (const auto missing = HungMount::missing(); hung && missing)
            GTEST_SKIP() << missing->toStdString();
        if (hung)
            mount = std::make_unique<HungMount>();
        ASSERT_TRUE(!hung || mount->isMounted()) << mount->error().toStdString();
        desktop = std::make_unique<TrayDesktop>();
        if (desktop->missing())
            GTEST_SKIP() << desktop->missing()->toStdString();
        ASSERT_FALSE(desktop->failure()) << desktop->failure()->toStdString();
        const auto settled = desktop->startApp();
        ASSERT_TRUE(settled) << "the icon never settled in the tray";
        icon = *settled;
    }
    // Aborts the mount before the desktop goes, so nothing left waits on it.
    void TearDown() override { mount.reset(); }

    std::unique_ptr<HungMount> mount;
    std::unique_ptr<TrayDesktop> desktop;
    QRect icon;
};

} // namespace

// SIGTERM or Quit from the menu end the app at once (zombie included, exit status 0), icon and all.
TEST_P(Tray, TheAppEndsAtOnceWithAHungShare)
{
    start(true);
    if (IsSkipped() || HasFatalFailure())
        return;
    const qint64 pid = desktop->appPid();
    ASSERT_GT(pid, 0);
    const auto helperStuck = [&] {
        const auto children = childrenOf(pid);
        return std::any_of(children.cbegin(), children.cend(), [](qint64 child) { return threadStates(child) == "D"; });
    };
    ASSERT_TRUE(TestEnvironment::waitUntil(helperStuck, 10s)) << "no read of the share is stuck";
    ASSERT_FALSE(threadStates(pid).contains('D')) << threadStates(pid).toStdString();

    const bool quit = GetParam() == std::string("Quit");
    if (quit) {
        desktop->click(icon.center(), 3);
        ASSERT_TRUE(desktop->waitForWindow(menu)) << "the menu did not open";
        desktop->key("Up");  // up from the top wraps to the last item
    }
    QElapsedTimer since;
    since.start();
    if (quit)
        desktop->key("Return");
    else
        ::kill(pid_t(pid), SIGTERM);
    ASSERT_TRUE(TestEnvironment::waitUntil([&] { return !QFile::exists(QStringLiteral("/proc/%1").arg(pid)); }, 5s))
        << "still there after 5 s, threads " << threadStates(pid).toStdString();
    const qint64 ms = since.elapsed();
    EXPECT_LT(ms, 1000);
    std::printf("[ figure ] tray app, %s to gone with a hung share: %lld ms\n", GetParam(), ms);
    EXPECT_TRUE(desktop->app().waitForFinished(5000));
    EXPECT_EQ(desktop->app().exitStatus(), QProcess::NormalExit);
    EXPECT_EQ(desktop->app().exitCode(), 0);
    EXPECT_TRUE(TestEnvironment::waitUntil([&] { return !desktop->trayIcon().has_value(); }, 3s)) << "the icon stayed in the tray";
}

INSTANTIATE_TEST_SUITE_P(Ways, Tray, ::testing::Values("SIGTERM", "Quit"));

// A second launch opens the first's popover and ends; clicks and keys on the icon open and close
// the popover under it and the menu, whose items the keyboard walks.
TEST_F(Tray, ClicksOpenThePopoverAndTheMenuAndASecondLaunchHandsOver)
{
    start();
    if (IsSkipped() || HasFatalFailure())
        return;
    EXPECT_GE(icon.width(), 22);  // as wide as the image asks for, at the height trayer gives
    EXPECT_LE(icon.height(), 22);
    ASSERT_FALSE(desktop->appWindow(popover).has_value());
    const auto second = desktop->launchAgain();
    EXPECT_EQ(second.exitCode, 0) << second.err.toStdString();
    EXPECT_EQ(second.out, "mallowby is already running; opened its popover.\n");
    ASSERT_TRUE(desktop->waitForWindow(popover)) << "the first instance's popover did not open";
    EXPECT_EQ(desktop->appWindows().size(), 1);
    EXPECT_EQ(desktop->app().state(), QProcess::Running);
    const QRect shown = desktop->appWindow(popover)->geometry;
    EXPECT_GE(shown.top(), icon.bottom());
    EXPECT_LE(shown.top(), icon.bottom() + 10);
    EXPECT_LE(shown.right(), 1279);

    // Escape closes it; so does a second click on the icon, which must not open it again.
    desktop->key("Escape");
    ASSERT_TRUE(desktop->waitForWindow(popover, false));
    desktop->click(icon.center(), 1);
    ASSERT_TRUE(desktop->waitForWindow(popover));
    desktop->click(icon.center(), 1);
    ASSERT_TRUE(desktop->waitForWindow(popover, false));
    EXPECT_FALSE(TestEnvironment::waitUntil([&] { return desktop->appWindow(popover).has_value(); }, 1s)) << "the closing click opened it again";

    // A right click and a control click open the same menu under the icon, tall enough for six
    // items and a separator; its first enabled item opens the popover (Eject All is disabled
    // without an external drive), its fourth checks for updates, which a build without a feed
    // finds up to date.
    desktop->click(icon.center(), 3);
    ASSERT_TRUE(desktop->waitForWindow(menu));
    const QRect first = desktop->appWindow(menu)->geometry;
    EXPECT_GE(first.top(), icon.bottom());
    EXPECT_GE(first.height(), 6 * 18);
    desktop->key("Escape");
    ASSERT_TRUE(desktop->waitForWindow(menu, false));
    desktop->click(icon.center(), 1, "ctrl");
    ASSERT_TRUE(desktop->waitForWindow(menu));
    EXPECT_FALSE(desktop->appWindow(popover).has_value());
    EXPECT_EQ(desktop->appWindow(menu)->geometry.size(), first.size());
    desktop->key("Down");
    desktop->key("Return");
    ASSERT_TRUE(desktop->waitForWindow(popover));
    desktop->key("Escape");
    ASSERT_TRUE(desktop->waitForWindow(popover, false));
    desktop->click(icon.center(), 3);
    ASSERT_TRUE(desktop->waitForWindow(menu));
    for (const char* key : {"Down", "Down", "Down", "Down", "Return"})
        desktop->key(key);
    const auto upToDate = [&](bool shown) {
        return TestEnvironment::waitUntil([&] { return desktop->windowsNamed("up to date!").isEmpty() != shown; }, 10s);
    };
    ASSERT_TRUE(upToDate(true));
    desktop->key("Return");
    EXPECT_TRUE(upToDate(false));
}
