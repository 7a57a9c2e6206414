#include "TrayDesktop.h"

#include "MenuBar/StatusNotifierItem.h"

#include <QDBusArgument>
#include <QDBusMessage>
#include <QDBusVariant>
#include <QImage>

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>

using namespace mallowby::test;
using namespace std::chrono_literals;

namespace {

class Tray : public ::testing::Test {
protected:
    void SetUp() override
    {
        desktop = std::make_unique<TrayDesktop>();
        if (desktop->missing())
            GTEST_SKIP() << desktop->missing()->toStdString();
        ASSERT_FALSE(desktop->failure()) << desktop->failure()->toStdString();
        desktop->startApp();
        const auto settled = desktop->settledIcon();
        ASSERT_TRUE(settled) << "the icon never settled in the tray";
        icon = *settled;
    }
    // Waits until the popover (or menu) is shown, or with `shown` false, gone.
    bool popoverShown(bool shown = true)
    {
        return TestEnvironment::waitUntil([&] { return desktop->popover().has_value() == shown; }, 5s);
    }
    bool menuShown(bool shown = true)
    {
        return TestEnvironment::waitUntil([&] { return desktop->menu().has_value() == shown; }, 5s);
    }

    std::unique_ptr<TrayDesktop> desktop;
    Window icon;
};

// The app in the tray while a share's statfs never answers, with a capacity read of it stuck.
class HungTray : public Tray {
protected:
    void SetUp() override
    {
        if (const auto missing = HungMount::missing())
            GTEST_SKIP() << missing->toStdString();
        mount = std::make_unique<HungMount>();
        ASSERT_TRUE(mount->isMounted()) << mount->error().toStdString();
        Tray::SetUp();
        if (IsSkipped() || HasFatalFailure())
            return;
        pid = desktop->appPid();
        ASSERT_GT(pid, 0);
        const auto helperStuck = [&] {
            const auto children = childrenOf(pid);
            return std::any_of(children.cbegin(), children.cend(), [](qint64 child) { return threadStates(child) == "D"; });
        };
        ASSERT_TRUE(TestEnvironment::waitUntil(helperStuck, 10s)) << "no read of the share is stuck";
        ASSERT_FALSE(threadStates(pid).contains(QLatin1Char('D'))) << threadStates(pid).toStdString();
    }
    // Aborts the mount before the desktop goes, so nothing left waits on it.
    void TearDown() override { mount.reset(); }

    // Gone (zombie included) within a second, with exit status 0, and its icon with it.
    void expectGoneAtOnce(const QElapsedTimer& since, const char* how)
    {
        const QString proc = QStringLiteral("/proc/%1").arg(pid);
        ASSERT_TRUE(TestEnvironment::waitUntil([&] { return !QFile::exists(proc); }, 5s))
            << "still there after 5 s, threads " << threadStates(pid).toStdString();
        const qint64 ms = since.elapsed();
        EXPECT_LT(ms, 1000);
        std::printf("[ figure ] tray app, %s to gone with a hung share: %lld ms\n", how, ms);
        EXPECT_TRUE(desktop->app().waitForFinished(5000));
        EXPECT_EQ(desktop->app().exitCode(), 0);
        EXPECT_TRUE(TestEnvironment::waitUntil([&] { return !desktop->trayIcon().has_value(); }, 3s))
            << "the icon stayed in the tray";
    }

    std::unique_ptr<HungMount> mount;
    qint64 pid = 0;
};

} // namespace

TEST_F(HungTray, SigtermEndsTheAppAtOnce)
{
    QElapsedTimer since;
    since.start();
    ::kill(pid_t(pid), SIGTERM);
    expectGoneAtOnce(since, "SIGTERM");
}

TEST_F(HungTray, QuitFromTheMenuEndsTheAppAtOnce)
{
    desktop->click(icon.geometry.center(), 3);
    ASSERT_TRUE(menuShown()) << "the menu did not open";
    desktop->key("Up");
    QElapsedTimer since;
    since.start();
    desktop->key("Return");
    expectGoneAtOnce(since, "Quit");
}

TEST_F(Tray, TheIconSitsInTheTrayAndALeftClickOpensThePopoverUnderIt)
{
    // As wide as the image asks for, at the height trayer gives.
    EXPECT_GE(icon.geometry.width(), 22);
    EXPECT_LE(icon.geometry.height(), 22);

    desktop->click(icon.geometry.center(), 1);
    ASSERT_TRUE(popoverShown()) << "the popover did not open";
    const Window popover = *desktop->popover();
    EXPECT_GE(popover.geometry.top(), icon.geometry.bottom());
    EXPECT_LE(popover.geometry.top(), icon.geometry.bottom() + 10);
    EXPECT_LE(popover.geometry.right(), 1279);

    // Escape closes it; so does a second click on the icon.
    desktop->key("Escape");
    ASSERT_TRUE(popoverShown(false));
    desktop->click(icon.geometry.center(), 1);
    ASSERT_TRUE(popoverShown());
    QThread::msleep(500);
    desktop->click(icon.geometry.center(), 1);
    EXPECT_TRUE(popoverShown(false));
    QThread::msleep(500);
    EXPECT_FALSE(desktop->popover().has_value()) << "the click that closed the popover opened it again";
}

TEST_F(Tray, ARightClickOrAControlClickOpensTheMenuWithItsItemsInOrder)
{
    desktop->click(icon.geometry.center(), 3);
    ASSERT_TRUE(menuShown());
    const Window first = *desktop->menu();
    EXPECT_FALSE(desktop->popover().has_value());
    // Under the icon, tall enough for six items and a separator.
    EXPECT_GE(first.geometry.top(), icon.geometry.bottom());
    EXPECT_GE(first.geometry.height(), 6 * 18);
    desktop->key("Escape");
    ASSERT_TRUE(menuShown(false));

    // The keyboard walks the enabled items; Eject All is not one without an external drive.
    // First: "Open mallowby".
    desktop->click(icon.geometry.center(), 1, {"ctrl"});
    ASSERT_TRUE(menuShown());
    EXPECT_FALSE(desktop->popover().has_value());
    EXPECT_EQ(desktop->menu()->geometry.size(), first.geometry.size());
    desktop->key("Down");
    desktop->key("Return");
    ASSERT_TRUE(popoverShown());
    desktop->key("Escape");
    ASSERT_TRUE(popoverShown(false));

    // Fourth: "Check for Updates…", which in a build without a feed finds nothing.
    desktop->click(icon.geometry.center(), 3);
    ASSERT_TRUE(menuShown());
    for (int i = 0; i < 4; ++i)
        desktop->key("Down");
    desktop->key("Return");
    const auto upToDate = [&](bool shown) {
        return TestEnvironment::waitUntil([&] { return desktop->windowsNamed("up to date!").isEmpty() != shown; }, 5s);
    };
    ASSERT_TRUE(upToDate(true));
    desktop->key("Return");
    ASSERT_TRUE(upToDate(false));

    // Up from the top wraps to the last item: "Quit mallowby".
    desktop->click(icon.geometry.center(), 3);
    ASSERT_TRUE(menuShown()) << "the menu did not open";
    desktop->key("Up");
    desktop->key("Return");
    ASSERT_TRUE(desktop->app().waitForFinished(10000)) << "the last item did not quit";
    EXPECT_EQ(desktop->app().exitStatus(), QProcess::NormalExit);
    EXPECT_EQ(desktop->app().exitCode(), 0);
}

TEST_F(Tray, ASecondLaunchOpensThePopoverOfTheFirstAndEnds)
{
    ASSERT_FALSE(desktop->popover().has_value());
    const auto second = desktop->launchAgain();
    EXPECT_EQ(second.exitCode, 0) << second.err.toStdString();
    EXPECT_EQ(second.out, "mallowby is already running; opened its popover.\n");
    ASSERT_TRUE(popoverShown()) << "the first instance's popover did not open";
    // Besides the one icon, the popover is all there is; the first instance runs on.
    EXPECT_EQ(desktop->appWindows().size(), 1);
    EXPECT_EQ(desktop->app().state(), QProcess::Running);
}

// A real StatusNotifierItem panel: xfce4-panel's status tray hosts the item the app publishes.
TEST(XfcePanel, TheItemRegistersSquareAndItsClicksReachThePopoverAndQuit)
{
    TrayDesktop desktop(TrayDesktop::Host::xfce);
    if (desktop.missing())
        GTEST_SKIP() << desktop.missing()->toStdString();
    if (desktop.failure())
        GTEST_SKIP() << "the panel cannot start here: " << desktop.failure()->toStdString();
    desktop.startApp();
    QDBusConnection bus = desktop.bus();
    QString service;
    const auto registered = [&] {
        const QDBusMessage reply = bus.call(QDBusMessage::createMethodCall("org.kde.StatusNotifierWatcher", "/StatusNotifierWatcher",
                                                                           "org.freedesktop.DBus.Properties", "Get")
                                            << "org.kde.StatusNotifierWatcher" << "RegisteredStatusNotifierItems");
        service = reply.arguments().value(0).value<QDBusVariant>().variant().toStringList().value(0).section('/', 0, 0);
        return !service.isEmpty();
    };
    ASSERT_TRUE(TestEnvironment::waitUntil(registered, 20s)) << "the item never registered with the panel";
    const QDBusMessage reply = bus.call(QDBusMessage::createMethodCall(service, "/StatusNotifierItem",
                                                                       "org.freedesktop.DBus.Properties", "Get")
                                        << "org.kde.StatusNotifierItem" << "IconPixmap");
    mallowby::StatusNotifierItem::Pixmaps pixmaps;
    reply.arguments().value(0).value<QDBusVariant>().variant().value<QDBusArgument>() >> pixmaps;
    ASSERT_FALSE(pixmaps.isEmpty());
    for (const auto& pixmap : pixmaps)
        EXPECT_EQ(pixmap.width, pixmap.height) << "xfce4-panel gets the square face";

    // The item sits at the right end of the panel.
    const auto panel = desktop.panel();
    ASSERT_TRUE(panel);
    const QPoint item(panel->geometry.right() - panel->geometry.height() / 2, panel->geometry.center().y());
    desktop.click(item, 1);
    ASSERT_TRUE(TestEnvironment::waitUntil([&] { return desktop.popover().has_value(); }, 10s)) << "no popover";
    EXPECT_LE(desktop.popover()->geometry.top(), panel->geometry.bottom() + 12) << "the popover is not at the panel";
    desktop.key("Escape");
    ASSERT_TRUE(TestEnvironment::waitUntil([&] { return !desktop.popover().has_value(); }, 10s));

    // The panel draws the exported menu; its last item quits the app.
    desktop.click(item, 3);
    QThread::msleep(800);
    desktop.key("Up");
    desktop.key("Return");
    EXPECT_TRUE(desktop.app().waitForFinished(10000)) << "Quit from the panel's menu did not end the app";
}
