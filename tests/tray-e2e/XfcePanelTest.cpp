// The app in a real xfce4-panel: its StatusNotifierItem registers with the panel's status tray,
// which asks for the square face, opens the popover on a left click and draws the exported menu.

#include "TrayDesktop.h"

#include "MenuBar/StatusNotifierItem.h"

#include <QDBusArgument>
#include <QDBusMessage>
#include <QDBusVariant>

#include <gtest/gtest.h>

using namespace mallowby::test;

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
    desktop.click(item, 1);
    ASSERT_TRUE(desktop.waitForWindow(true)) << "no popover";
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
