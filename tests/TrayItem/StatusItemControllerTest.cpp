#include "MenuBar/PanelAppearance.h"
#include "MenuBar/StatusItem.h"
#include "MenuBar/StatusItemController.h"
#include "Popover/PopoverState.h"
#include "Popover/PopoverWindow.h"
#include "TrayRig.h"

#include "support/PrivateBus.h"

#include <QApplication>
#include <QDBusMessage>
#include <QFile>
#include <QMenu>
#include <QPalette>

namespace mallowby {

void PrintTo(const MenuBarRenderer::Piece& piece, std::ostream* os)
{
    std::visit(
        [os](const auto& value) {
            using T = std::decay_t<decltype(value)>;
            if constexpr (std::is_same_v<T, MenuBarRenderer::Piece::Glyph>)
                *os << "glyph(" << value.badge << ")";
            else if constexpr (std::is_same_v<T, MenuBarRenderer::Piece::Stacked>)
                *os << "stacked(" << value.caption.toStdString() << ", " << value.value.toStdString() << ")";
            else if constexpr (std::is_same_v<T, MenuBarRenderer::Piece::Rates>)
                *os << "rates(" << value.read.toStdString() << ", " << value.write.toStdString() << ")";
            else
                *os << "trace(" << value.primary.size() << " points)";
        },
        piece.value);
}

} // namespace mallowby

using namespace mallowby;
using namespace mallowby::test;
using namespace std::chrono_literals;

namespace {

class StatusItemControllerTest : public TrayRig {};

} // namespace

TEST_F(StatusItemControllerTest, EqualInputsRenderOnceAndEveryRenderIsSnapshotted)
{
    const QString snapshot = dir.filePath("tray.png");
    settings->setValue("menuBarStyle", "space");
    start(stickAndHome, {{"MALLOWBY_SNAPSHOT", snapshot}});
    ASSERT_NE(volumeAt("/run/media/me/STICK"), nullptr);
    ASSERT_TRUE(controller->lastRender().has_value());
    ASSERT_TRUE(QFile::exists(snapshot));
    QImage written(snapshot);
    EXPECT_EQ(written.size(), item().image().size());
    EXPECT_EQ(written.convertToFormat(QImage::Format_ARGB32), item().image().convertToFormat(QImage::Format_ARGB32));

    // Nothing changed: no drawing, so no new image and no new snapshot.
    const qint64 image = item().image().cacheKey();
    const auto key = controller->lastRender();
    ASSERT_TRUE(QFile::remove(snapshot));
    controller->refresh();
    controller->refresh();
    EXPECT_EQ(item().image().cacheKey(), image);
    EXPECT_EQ(controller->lastRender(), key);
    EXPECT_FALSE(QFile::exists(snapshot));

    // A setting the image depends on: drawn again on the next turn.
    preferences->setUnits(ByteUnits::binary);
    settle();
    EXPECT_NE(item().image().cacheKey(), image);
    EXPECT_NE(controller->lastRender(), key);
    EXPECT_TRUE(QFile::exists(snapshot));

    // The item sits 4 points in from both ends, centred in the 22-point bar.
    const double scale = controller->lastRender()->scale;
    const QRectF frame = item().imageFrame();
    EXPECT_EQ(frame, QRectF(4, 0, item().image().width() / scale, 22));
    EXPECT_EQ(item().length(), frame.width() + 8);

    // A dark desktop palette: drawn again in light ink.
    EXPECT_EQ(controller->lastRender()->appearance, "light");
    const QPalette light = QApplication::palette();
    QPalette dark = light;
    dark.setColor(QPalette::Window, QColor(30, 30, 30));
    QApplication::setPalette(dark);
    settle();
    EXPECT_EQ(controller->lastRender()->appearance, "dark");
    EXPECT_TRUE(drawnInLightInk());
    QApplication::setPalette(light);
    settle();
    EXPECT_EQ(controller->lastRender()->appearance, "light");
}

TEST_F(StatusItemControllerTest, HiddenWithoutExternalDrivesWhenAskedUntilOneArrives)
{
    settings->setValue("hideWhenNoExternal", true);
    start(homeOnly);
    EXPECT_FALSE(item().isVisible());
    remount(stickAndHome);
    EXPECT_TRUE(item().isVisible());
    preferences->setHideWhenNoExternal(false);
    remount(homeOnly);
    EXPECT_TRUE(item().isVisible());
    preferences->setHideWhenNoExternal(true);
    settle();
    EXPECT_FALSE(item().isVisible());
}

TEST_F(StatusItemControllerTest, SpaceWithoutAVolumeShowsTheIconAtTheReservedWidth)
{
    settings->setValue("menuBarStyle", "space");
    settings->setValue("pinnedVolumeID", "gone-away");
    start(stickAndHome);
    EXPECT_EQ(controller->resolvedStyle(), MenuBarStyle::icon);
    ASSERT_TRUE(controller->lastRender().has_value());
    const MenuBarRenderer::Layout& layout = controller->lastRender()->layout;
    // 1.5 GB free of 32 is below the default 10 %: the symbol carries the badge.
    EXPECT_EQ(layout.pieces, QList<MenuBarRenderer::Piece>{MenuBarRenderer::Piece::glyph(true)});
    // Room for the space figure and for the rates of a transfer stays, so the item does not jump
    // when the volume comes back or a copy starts.
    MenuBarRenderer::Inputs activity;
    activity.trace = MenuBarRenderer::Inputs::Trace{};
    const double activityWidth = MenuBarRenderer::width(MenuBarRenderer::pieces(MenuBarStyle::activity, activity));
    EXPECT_EQ(layout.width, std::max({activityWidth, std::ceil(MenuBarRenderer::stackedWidth()), MenuBarRenderer::glyphWidth()}));
    EXPECT_GT(layout.width, MenuBarRenderer::glyphWidth());
    EXPECT_EQ(item().length(), layout.width + 8);
    EXPECT_EQ(item().toolTip(), QString());

    // The volume is pinned again: the figure takes the same place.
    const double length = item().length();
    preferences->setPinnedVolumeID(volumeAt("/run/media/me/STICK")->id);
    settle();
    EXPECT_EQ(controller->resolvedStyle(), MenuBarStyle::space);
    EXPECT_EQ(controller->lastRender()->layout.pieces,
              QList<MenuBarRenderer::Piece>{MenuBarRenderer::Piece::stacked("STICK!", "1.5G")});
    EXPECT_EQ(item().length(), length);
}

TEST_F(StatusItemControllerTest, TheSpokenLabelAndTooltipFollowTheFigures)
{
    start(homeOnly);
    EXPECT_EQ(item().accessibilityLabel(), QStringLiteral("No external drives."));
    // The automatic choice without an external volume is the boot volume, which /home is not.
    EXPECT_EQ(item().toolTip(), QString());

    // A pinned stick, reads and writes under way, two volumes low on space.
    preferences->setLowSpaceThreshold(LowSpaceThreshold::gigabytes(100));
    controller.reset();
    remount(twoDrives);
    setSpace("/home", {500 * GB, 80 * GB, 80 * GB, false});
    store->refreshAll();
    settle();
    preferences->setPinnedVolumeID(volumeAt("/run/media/me/STICK")->id);
    controller = std::make_unique<StatusItemController>(*store, *drives, *ejector, *preferences, *notifier, *updater, clock,
                                                        LaunchEnvironment({}));
    settle();
    ASSERT_NE(driveOf("/run/media/me/BACKUP"), nullptr);
    ASSERT_EQ(driveOf("/run/media/me/BACKUP")->kind, VolumeKind::external);
    EXPECT_EQ(item().accessibilityLabel(),
              QStringLiteral("2 external drives. STICK, 1.5 gigabytes free. Low on space: BACKUP, STICK, and home."));
    EXPECT_EQ(item().toolTip(), QStringLiteral("STICK: 1.5 GB free of 32.0 GB"));

    // Reads and writes on both drives (the label speaks of their sums); the stick has room again.
    setSpace("/run/media/me/STICK", {320 * GB, 150 * GB, 150 * GB, false});
    store->refreshAll();
    settle();
    drives->setDetailed(true);
    clock.advance(1s);
    tree->setCounters("sdb", {2'000'000 + 512 * 4, 512 * 2});
    tree->setCounters("sdc", {0, 3'000'064});
    clock.advance(1s);
    settle();
    ASSERT_GT(drives->externalReadRate(), 1000);
    EXPECT_EQ(item().accessibilityLabel(),
              QStringLiteral("2 external drives. STICK, 150 gigabytes free, reading 2.0 megabytes per second, "
                             "writing 3.0 megabytes per second. Low on space: BACKUP and home."));
    EXPECT_EQ(item().toolTip(), QStringLiteral("STICK: 150 GB free of 320 GB"));

    // A pinned volume whose figures are not read yet: its name alone.
    setSpace("/run/media/me/NEW", {});
    world.capacities.set("/run/media/me/NEW", std::nullopt);
    remount({{"/home", "/dev/nvme0n1p2"}, {"/run/media/me/NEW", "/dev/sdb2"}});
    preferences->setPinnedVolumeID(volumeAt("/run/media/me/NEW")->id);
    settle();
    EXPECT_EQ(item().toolTip(), volumeAt("/run/media/me/NEW")->name);
    EXPECT_TRUE(item().accessibilityLabel().startsWith("1 external drive. "));
}

TEST_F(StatusItemControllerTest, SamplingIsDetailedWhileThePopoverShowsOrActivityCanBeSeen)
{
    settings->setValue("menuBarStyle", "activity");
    start(homeOnly);
    // Activity on show but no external drive: nothing to watch every second.
    EXPECT_FALSE(drives->isDetailed());
    EXPECT_EQ(drives->timerInterval(), std::nullopt);

    remount(stickAndHome);
    EXPECT_TRUE(drives->isDetailed());
    EXPECT_EQ(drives->timerInterval(), 1);

    preferences->setMenuBarStyle(MenuBarStyle::icon);
    settle();
    EXPECT_FALSE(drives->isDetailed());
    EXPECT_EQ(drives->timerInterval(), 5);

    // The popover shows live figures of every drive.
    controller->showPopover(std::nullopt, false);
    ASSERT_TRUE(controller->isPopoverShown());
    EXPECT_TRUE(drives->isDetailed());
    EXPECT_TRUE(store->isRefreshing());
    controller->popover()->performClose();
    EXPECT_FALSE(controller->isPopoverShown());
    settle();
    EXPECT_EQ(controller->popover(), nullptr);
    EXPECT_FALSE(drives->isDetailed());
    EXPECT_FALSE(store->isRefreshing());

    // A high rate turns the detector pending, which asks for every second until it decides.
    quint64 written = 0;
    auto write = [&](quint64 bytes) {
        written += bytes;
        tree->setCounters("sdb", {0, written});
    };
    write(50'000'000);
    clock.advance(5s);
    settle();
    ASSERT_TRUE(controller->transfer().isPending());
    EXPECT_TRUE(drives->isDetailed());
    for (int i = 0; i < 4; ++i) {
        write(10'000'000);
        clock.advance(1s);
    }
    settle();
    // A transfer: the activity style takes over and keeps the detail.
    ASSERT_TRUE(controller->transfer().isActive);
    EXPECT_EQ(controller->resolvedStyle(), MenuBarStyle::activity);
    EXPECT_TRUE(drives->isDetailed());
    // Ten quiet seconds end it.
    clock.advance(11s);
    settle();
    EXPECT_FALSE(controller->transfer().isActive);
    EXPECT_FALSE(drives->isDetailed());
}

TEST_F(StatusItemControllerTest, EjectAllWithAFailureOpensThePopoverOnTheFailedDrive)
{
    start(twoDrives);
    const Drive* stick = driveOf("/run/media/me/STICK");
    const Drive* backup = driveOf("/run/media/me/BACKUP");
    ASSERT_TRUE(stick && backup);
    const QString stickID = stick->id;
    ASSERT_EQ(controller->externalTargets().size(), 2);

    disks->refusals.insert("sdb", Dissent{Dissent::notPermitted, QStringLiteral("not allowed")});
    controller->ejectAll(controller->externalTargets());
    ASSERT_TRUE(TestEnvironment::waitUntil([&] { return controller->isPopoverShown(); }, 5s));
    EXPECT_EQ(controller->popoverState().focus(), stickID);
    ASSERT_TRUE(controller->popoverState().ejectAllResult().has_value());
    EXPECT_EQ(controller->popoverState().ejectAllResult()->failed, QStringList{stickID});
    EXPECT_EQ(controller->popoverState().ejectAllResult()->ejected.size(), 1);
    EXPECT_FALSE(controller->popoverState().showingSettings());
    // The popover was opened by a click-away kind, and closing it drops the summary.
    EXPECT_EQ(controller->popover()->behavior(), PopoverWindow::Behavior::transient);
    controller->popover()->performClose();
    EXPECT_EQ(controller->popoverState().ejectAllResult(), std::nullopt);
    settle();

    // All ejected: nothing opens.
    disks->refusals.clear();
    controller->ejectAll({EjectTarget::fromDrive(*driveOf("/run/media/me/STICK"))});
    settle();
    clock.advance(1s);
    settle();
    EXPECT_FALSE(controller->isPopoverShown());
    EXPECT_EQ(controller->popover(), nullptr);
}

TEST_F(StatusItemControllerTest, StaleIdleStatusesAreDismissedWhenThePopoverOpens)
{
    start(stickAndHome);
    const EjectTarget gone{"999", "Old Disk", VolumeKind::external, {BlockDevice{999, "sdz"}}, std::nullopt};
    disks->refusals.insert("sdz", Dissent{Dissent::notPermitted, std::nullopt});
    disks->refusals.insert("sdb", Dissent{Dissent::notPermitted, std::nullopt});
    const EjectTarget stick = EjectTarget::fromDrive(*driveOf("/run/media/me/STICK"));
    ASSERT_EQ(TestEnvironment::await(ejector->eject(gone, false)), false);
    ASSERT_EQ(TestEnvironment::await(ejector->eject(stick, false)), false);
    ASSERT_EQ(ejector->statuses().size(), 2);
    controller->showPopover("x", true);
    EXPECT_EQ(ejector->statuses().keys(), QStringList{stick.id});
    EXPECT_EQ(controller->popoverState().focus(), "x");
    EXPECT_TRUE(controller->popoverState().showingSettings());
    // Asked again while shown: only the state moves.
    controller->showPopover(std::nullopt, false);
    EXPECT_FALSE(controller->popoverState().showingSettings());
    EXPECT_EQ(controller->popoverState().focus(), std::nullopt);
}

TEST_F(StatusItemControllerTest, ClicksOpenThePopoverOrTheMenu)
{
    start(homeOnly, {{"MALLOWBY_POPOVER", "internal"}});
    EXPECT_TRUE(controller->popoverState().internalExpanded());

    // Control-click: the menu, not the popover.
    controller->handleClick(Qt::LeftButton, Qt::ControlModifier);
    EXPECT_FALSE(controller->isPopoverShown());
    ASSERT_NE(controller->menu(), nullptr);
    QStringList titles;
    for (QAction* action : controller->menu()->actions())
        titles << (action->isSeparator() ? QStringLiteral("-") : action->text());
    EXPECT_EQ(titles, (QStringList{"Eject All", "Open mallowby", "Settings…", "Copy Diagnostics", "Check for Updates…", "-",
                                   "Quit mallowby"}));
    EXPECT_FALSE(controller->menu()->actions().at(0)->isEnabled());  // no external drive
    EXPECT_EQ(controller->menu()->actions().at(2)->shortcut(), QKeySequence(Qt::CTRL | Qt::Key_Comma));
    EXPECT_EQ(controller->menu()->actions().at(6)->shortcut(), QKeySequence(Qt::CTRL | Qt::Key_Q));

    // "Settings…" opens the popover on the settings page, on the next turn.
    controller->menu()->actions().at(2)->trigger();
    controller->menu()->hide();
    settle();
    EXPECT_EQ(controller->menu(), nullptr);
    ASSERT_TRUE(controller->isPopoverShown());
    EXPECT_TRUE(controller->popoverState().showingSettings());
    // Kept open in the developer modes.
    EXPECT_EQ(controller->popover()->behavior(), PopoverWindow::Behavior::applicationDefined);

    // A left click closes the shown popover, the next opens it on the list.
    controller->handleClick(Qt::LeftButton, {});
    EXPECT_FALSE(controller->isPopoverShown());
    settle();
    controller->handleClick(Qt::LeftButton, {});
    EXPECT_TRUE(controller->isPopoverShown());

    // Each right click builds the menu afresh: with an external drive Eject All is on.
    controller->popover()->performClose();
    remount(stickAndHome);
    controller->handleClick(Qt::RightButton, {});
    ASSERT_NE(controller->menu(), nullptr);
    EXPECT_TRUE(controller->menu()->actions().at(0)->isEnabled());
    controller->menu()->hide();
    settle();
    EXPECT_EQ(controller->menu(), nullptr);
}

// The desktop's settings portal, as python-dbusmock plays it on a private bus.
TEST_F(StatusItemControllerTest, ADesktopThatPrefersDarkGetsTheDarkPanelImageAndChangesRedrawIt)
{
    PrivateBus bus;
    if (const auto why = bus.unavailable())
        GTEST_SKIP() << why->toStdString();
    const QString portal = QStringLiteral("org.freedesktop.portal.Desktop");
    const QString path = QStringLiteral("/org/freedesktop/portal/desktop");
    const QString settingsInterface = QStringLiteral("org.freedesktop.portal.Settings");
    ASSERT_TRUE(bus.startMock(portal, {QStringLiteral("--session"), portal, path, settingsInterface}))
        << "python3-dbusmock could not start";
    QDBusConnection connection = bus.connect();
    const auto mock = [&](const QString& method, const QVariantList& arguments) {
        QDBusMessage call = QDBusMessage::createMethodCall(portal, path, QStringLiteral("org.freedesktop.DBus.Mock"), method);
        call.setArguments(arguments);
        const QDBusMessage reply = connection.call(call);
        ASSERT_EQ(reply.type(), QDBusMessage::ReplyMessage) << reply.errorMessage().toStdString();
    };
    // Read answers as the real portal does: the value inside one more variant.
    mock(QStringLiteral("AddMethod"),
         {settingsInterface, QStringLiteral("Read"), QStringLiteral("ss"), QStringLiteral("v"),
          QStringLiteral("ret = dbus.UInt32(1, variant_level=2) if list(args) == ['org.freedesktop.appearance', 'color-scheme'] "
                         "else dbus.String('', variant_level=2)")});
    const auto changeSetting = [&](const QString& group, const QString& key, uint value) {
        mock(QStringLiteral("EmitSignal"), {settingsInterface, QStringLiteral("SettingChanged"), QStringLiteral("ssv"),
                                           QVariantList{group, key, QVariant::fromValue(value)}});
    };

    settings->setValue("menuBarStyle", "space");
    start(stickAndHome);
    ASSERT_EQ(controller->lastRender()->appearance, "light") << "a light palette and no portal";
    ASSERT_FALSE(drawnInLightInk());

    item().followPanel(connection);
    ASSERT_TRUE(TestEnvironment::waitUntil([&] { return controller->lastRender()->appearance == "dark"; }, 10s))
        << "the portal's answer did not make the image dark";
    EXPECT_TRUE(drawnInLightInk());

    // Another setting of the portal changes nothing; the desktop going light redraws in dark ink.
    changeSetting(QStringLiteral("org.freedesktop.appearance"), QStringLiteral("accent-color"), 0);
    changeSetting(QStringLiteral("org.gnome.desktop.interface"), QStringLiteral("color-scheme"), 0);
    settle();
    EXPECT_EQ(controller->lastRender()->appearance, "dark");
    changeSetting(QStringLiteral("org.freedesktop.appearance"), QStringLiteral("color-scheme"), 2);
    ASSERT_TRUE(TestEnvironment::waitUntil([&] { return controller->lastRender()->appearance == "light"; }, 10s));
    EXPECT_FALSE(drawnInLightInk());
    changeSetting(QStringLiteral("org.freedesktop.appearance"), QStringLiteral("color-scheme"), 1);
    EXPECT_TRUE(TestEnvironment::waitUntil([&] { return controller->lastRender()->appearance == "dark"; }, 10s));
}

TEST(PanelAppearance, PortalValuesInAnyNestingAndNonsenseAsNoPreference)
{
    using Scheme = PanelAppearance::ColorScheme;
    const QVariant twice = QVariant::fromValue(QDBusVariant(QVariant::fromValue(QDBusVariant(QVariant(uint(1))))));
    EXPECT_EQ(PanelAppearance::fromPortalValue(twice), Scheme::preferDark);
    EXPECT_EQ(PanelAppearance::fromPortalValue(QVariant(uint(2))), Scheme::preferLight);
    EXPECT_EQ(PanelAppearance::fromPortalValue(QVariant(uint(0))), Scheme::noPreference);
    EXPECT_EQ(PanelAppearance::fromPortalValue(QVariant(uint(7))), Scheme::noPreference);
    EXPECT_EQ(PanelAppearance::fromPortalValue(QVariant(QStringLiteral("1"))), Scheme::noPreference);
    EXPECT_EQ(PanelAppearance::fromPortalValue(QVariant()), Scheme::noPreference);
}
