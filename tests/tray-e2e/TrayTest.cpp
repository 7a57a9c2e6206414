#include "TrayDesktop.h"

#include <gtest/gtest.h>

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
    std::unique_ptr<TrayDesktop> desktop;
    Window icon;
};

} // namespace

TEST_F(Tray, TheIconSitsInTheTrayAndALeftClickOpensThePopoverUnderIt)
{
    // As wide as the image asks for, at the height trayer gives.
    EXPECT_GE(icon.geometry.width(), 22);
    EXPECT_LE(icon.geometry.height(), 22);

    desktop->click(icon.geometry.center(), 1);
    ASSERT_TRUE(TestEnvironment::waitUntil([&] { return desktop->popover().has_value(); }, 5s))
        << "the popover did not open";
    const Window popover = *desktop->popover();
    EXPECT_GE(popover.geometry.top(), icon.geometry.bottom());
    EXPECT_LE(popover.geometry.top(), icon.geometry.bottom() + 10);
    EXPECT_LE(popover.geometry.right(), 1279);

    // Escape closes it; so does a second click on the icon.
    desktop->key(QStringLiteral("Escape"));
    ASSERT_TRUE(TestEnvironment::waitUntil([&] { return !desktop->popover().has_value(); }, 5s));
    desktop->click(icon.geometry.center(), 1);
    ASSERT_TRUE(TestEnvironment::waitUntil([&] { return desktop->popover().has_value(); }, 5s));
    QThread::msleep(500);
    desktop->click(icon.geometry.center(), 1);
    EXPECT_TRUE(TestEnvironment::waitUntil([&] { return !desktop->popover().has_value(); }, 5s));
    QThread::msleep(500);
    EXPECT_FALSE(desktop->popover().has_value()) << "the click that closed the popover opened it again";
}

TEST_F(Tray, ARightClickOrAControlClickOpensTheMenuWithItsItemsInOrder)
{
    desktop->click(icon.geometry.center(), 3);
    ASSERT_TRUE(TestEnvironment::waitUntil([&] { return desktop->menu().has_value(); }, 5s));
    const Window first = *desktop->menu();
    EXPECT_FALSE(desktop->popover().has_value());
    // Under the icon, tall enough for six items and a separator.
    EXPECT_GE(first.geometry.top(), icon.geometry.bottom());
    EXPECT_GE(first.geometry.height(), 6 * 18);
    desktop->key(QStringLiteral("Escape"));
    ASSERT_TRUE(TestEnvironment::waitUntil([&] { return !desktop->menu().has_value(); }, 5s));

    // The keyboard walks the enabled items; Eject All is not one without an external drive.
    // First: "Open mallowby".
    desktop->click(icon.geometry.center(), 1, {QStringLiteral("ctrl")});
    ASSERT_TRUE(TestEnvironment::waitUntil([&] { return desktop->menu().has_value(); }, 5s));
    EXPECT_FALSE(desktop->popover().has_value());
    EXPECT_EQ(desktop->menu()->geometry.size(), first.geometry.size());
    desktop->key(QStringLiteral("Down"));
    desktop->key(QStringLiteral("Return"));
    ASSERT_TRUE(TestEnvironment::waitUntil([&] { return desktop->popover().has_value(); }, 5s));
    desktop->key(QStringLiteral("Escape"));
    ASSERT_TRUE(TestEnvironment::waitUntil([&] { return !desktop->popover().has_value(); }, 5s));

    // Fourth: "Check for Updates…", which in a build without a feed finds nothing.
    desktop->click(icon.geometry.center(), 3);
    ASSERT_TRUE(TestEnvironment::waitUntil([&] { return desktop->menu().has_value(); }, 5s));
    for (int i = 0; i < 4; ++i)
        desktop->key(QStringLiteral("Down"));
    desktop->key(QStringLiteral("Return"));
    ASSERT_TRUE(TestEnvironment::waitUntil(
        [&] { return !desktop->windowsNamed(QStringLiteral("up to date!")).isEmpty(); }, 5s));
    desktop->key(QStringLiteral("Return"));
    ASSERT_TRUE(TestEnvironment::waitUntil(
        [&] { return desktop->windowsNamed(QStringLiteral("up to date!")).isEmpty(); }, 5s));

    // Up from the top wraps to the last item: "Quit mallowby".
    desktop->click(icon.geometry.center(), 3);
    ASSERT_TRUE(TestEnvironment::waitUntil([&] { return desktop->menu().has_value(); }, 5s))
        << "the menu did not open";
    desktop->key(QStringLiteral("Up"));
    desktop->key(QStringLiteral("Return"));
    ASSERT_TRUE(desktop->app().waitForFinished(10000)) << "the last item did not quit";
    EXPECT_EQ(desktop->app().exitStatus(), QProcess::NormalExit);
    EXPECT_EQ(desktop->app().exitCode(), 0);
}
