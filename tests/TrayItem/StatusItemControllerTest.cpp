#include "MenuBar/DBusMenuExporter.h"
#include "MenuBar/PanelAppearance.h"
#include "MenuBar/PanelHost.h"
#include "MenuBar/StatusNotifierItem.h"
#include "MenuBar/StatusItem.h"
#include "MenuBar/StatusItemController.h"
#include "Popover/PopoverState.h"
#include "Popover/PopoverWindow.h"
#include "TrayRig.h"

#include "support/PrivateBus.h"

#include <QApplication>
#include <QDBusMessage>
#include <QDBusPendingCall>
#include <QDBusVirtualObject>
#include <QFile>
#include <QMenu>
#include <QPalette>
#include <QScreen>

using namespace mallowby;
using namespace mallowby::test;
using namespace std::chrono_literals;

using StatusItemControllerTest = TrayRig;

TEST_F(StatusItemControllerTest, EqualInputsRenderOnceAndEveryRenderIsSnapshotted)
{
    const QString snapshot = dir.filePath("tray.png");
    settings->setValue("menuBarStyle", "space");
    start(stickAndHome, {{"MALLOWBY_SNAPSHOT", snapshot}});
    ASSERT_NE(volumeAt("/run/media/me/STICK"), nullptr);
    ASSERT_TRUE(controller->lastRender().has_value());
    ASSERT_TRUE(QFile::exists(snapshot));
    EXPECT_EQ(QImage(snapshot).convertToFormat(QImage::Format_ARGB32), item().image().convertToFormat(QImage::Format_ARGB32));

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
    EXPECT_EQ(item().accessibilityLabel(), "No external drives.");
    EXPECT_EQ(item().toolTip(), QString()) << "the automatic choice is the boot volume, which /home is not";

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
    const QString stickID = driveOf("/run/media/me/STICK")->id;
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

// The desktop's settings portal, as python-dbusmock plays it on a private bus.
TEST_F(StatusItemControllerTest, ADesktopThatPrefersDarkGetsTheDarkPanelImageAndChangesRedrawIt)
{
    PrivateBus bus;
    if (const auto why = bus.unavailable())
        GTEST_SKIP() << why->toStdString();
    const QString portal = "org.freedesktop.portal.Desktop", path = "/org/freedesktop/portal/desktop",
                  settingsInterface = "org.freedesktop.portal.Settings";
    ASSERT_TRUE(bus.startMock(portal, {"--session", portal, path, settingsInterface})) << "python3-dbusmock could not start";
    QDBusConnection connection = bus.connect();
    const auto mock = [&](const QString& method, const QVariantList& arguments) {
        QDBusMessage call = QDBusMessage::createMethodCall(portal, path, "org.freedesktop.DBus.Mock", method);
        call.setArguments(arguments);
        const QDBusMessage reply = connection.call(call);
        ASSERT_EQ(reply.type(), QDBusMessage::ReplyMessage) << reply.errorMessage().toStdString();
    };
    // Read answers as the real portal does: the value inside one more variant.
    mock("AddMethod", {settingsInterface, "Read", "ss", "v",
                       "ret = dbus.UInt32(1, variant_level=2) if list(args) == ['org.freedesktop.appearance', 'color-scheme'] "
                       "else dbus.String('', variant_level=2)"});
    const auto changeSetting = [&](const QString& group, const QString& key, uint value) {
        mock("EmitSignal", {settingsInterface, "SettingChanged", "ssv", QVariantList{group, key, QVariant::fromValue(value)}});
    };
    const auto becomes = [&](const char* appearance) {
        return TestEnvironment::waitUntil([&] { return controller->lastRender()->appearance == appearance; }, 10s);
    };

    settings->setValue("menuBarStyle", "space");
    start(stickAndHome);
    ASSERT_EQ(controller->lastRender()->appearance, "light") << "a light palette and no portal";
    ASSERT_FALSE(drawnInLightInk());

    item().followPanel(connection);
    ASSERT_TRUE(becomes("dark")) << "the portal's answer did not make the image dark";
    EXPECT_TRUE(drawnInLightInk());

    // Another setting of the portal changes nothing; the desktop going light redraws in dark ink.
    changeSetting("org.freedesktop.appearance", "accent-color", 0);
    changeSetting("org.gnome.desktop.interface", "color-scheme", 0);
    settle();
    EXPECT_EQ(controller->lastRender()->appearance, "dark");
    changeSetting("org.freedesktop.appearance", "color-scheme", 2);
    ASSERT_TRUE(becomes("light"));
    EXPECT_FALSE(drawnInLightInk());
    changeSetting("org.freedesktop.appearance", "color-scheme", 1);
    EXPECT_TRUE(becomes("dark"));

    // The ink the user chose wins over the desktop's preference.
    for (const auto& [ink, appearance] : {std::pair{Preferences::PanelInk::dark, "light"},
                                          std::pair{Preferences::PanelInk::light, "dark"}}) {
        preferences->setPanelInk(ink);
        settle();
        EXPECT_EQ(controller->lastRender()->appearance, appearance);
    }
}

TEST(PanelAppearance, PortalValuesInAnyNestingAndNonsenseAsNoPreference)
{
    using Scheme = PanelAppearance::ColorScheme;
    const QVariant twice = QVariant::fromValue(QDBusVariant(QVariant::fromValue(QDBusVariant(QVariant(uint(1))))));
    for (const auto& [value, scheme] : {std::pair{twice, Scheme::preferDark}, {QVariant(uint(2)), Scheme::preferLight},
                                        {QVariant(uint(7)), Scheme::noPreference}, {QVariant("1"), Scheme::noPreference},
                                        {QVariant(), Scheme::noPreference}})
        EXPECT_EQ(PanelAppearance::fromPortalValue(value), scheme) << value.toString().toStdString();
}

namespace {

// A StatusNotifierWatcher written for the test: who registered, in order.
class TestWatcher : public QDBusVirtualObject {
public:
    bool handleMessage(const QDBusMessage& message, const QDBusConnection& connection) override
    {
        if (message.member() != QLatin1String("RegisterStatusNotifierItem"))
            return false;
        registered << message.arguments().value(0).toString();
        connection.send(message.createReply());
        return true;
    }
    QString introspect(const QString&) const override { return {}; }
    QStringList registered;
};

// The panel's side, on a connection of its own: reads and calls the item, hears its signals.
class TestHost : public QObject {
    Q_OBJECT
public:
    TestHost(QDBusConnection connection, QString service) : m_connection(connection), m_service(std::move(service))
    {
        for (const char* name : {"NewIcon", "NewToolTip", "NewStatus", "XAyatanaNewLabel"})
            m_connection.connect(m_service, StatusNotifierItem::objectPath, "org.kde.StatusNotifierItem", name, this,
                                 SLOT(hear(QDBusMessage)));
        m_connection.connect(m_service, StatusNotifierItem::menuPath, "com.canonical.dbusmenu", "ItemsPropertiesUpdated",
                             this, SLOT(hear(QDBusMessage)));
    }
    // Waits for the reply with the event loop running, as the item answers on this thread.
    QDBusMessage call(const QString& path, const QString& interface, const QString& method, const QVariantList& arguments = {})
    {
        QDBusMessage message = QDBusMessage::createMethodCall(m_service, path, interface, method);
        message.setArguments(arguments);
        QDBusPendingCall pending = m_connection.asyncCall(message);
        TestEnvironment::waitUntil([&] { return pending.isFinished(); }, 10s);
        return pending.reply();
    }
    QVariant property(const QString& name)
    {
        const QDBusMessage reply = call(StatusNotifierItem::objectPath, "org.freedesktop.DBus.Properties", "Get",
                                        {"org.kde.StatusNotifierItem", name});
        return reply.arguments().value(0).value<QDBusVariant>().variant();
    }
    template <typename T>
    T demarshalled(const QVariant& value)
    {
        T result;
        value.value<QDBusArgument>() >> result;
        return result;
    }
    DBusMenuExporter::LayoutItem layout()
    {
        const QVariant root = call(StatusNotifierItem::menuPath, "com.canonical.dbusmenu", "GetLayout", {0, -1, QStringList{}})
                                  .arguments().value(1);
        return demarshalled<DBusMenuExporter::LayoutItem>(root);
    }
    QStringList heard;

public slots:
    void hear(const QDBusMessage& message) { heard << message.member(); }

private:
    QDBusConnection m_connection;
    QString m_service;
};

// The tray item on a private session bus with a watcher and a panel written for the test.
class PanelTest : public TrayRig {
protected:
    void SetUp() override
    {
        TrayRig::SetUp();
        if (const auto why = bus.unavailable())
            GTEST_SKIP() << why->toStdString();
        startWatcher();
    }
    void TearDown() override
    {
        host.reset();
        TrayRig::TearDown();
    }
    void startWatcher()
    {
        watcherBus = std::make_unique<QDBusConnection>(bus.connect());
        ASSERT_TRUE(watcherBus->registerVirtualObject("/StatusNotifierWatcher", &watcher));
        ASSERT_TRUE(watcherBus->registerService(StatusNotifierItem::watcherService));
    }
    void startOnPanel(const QList<std::pair<QString, QString>>& mounts, QHash<QString, QString> environment = {})
    {
        start(mounts, std::move(environment));
        QDBusConnection itemBus = bus.connect();
        item().followPanel(itemBus);
        ASSERT_TRUE(TestEnvironment::waitUntil([&] { return item().usesStatusNotifier(); }, 10s)) << "never registered";
        EXPECT_EQ(watcher.registered, QStringList{itemBus.baseService()});
        host = std::make_unique<TestHost>(bus.connect(), itemBus.baseService());
    }
    // Share of pixels with ink, and the share of the width and of the height the ink spans (a
    // letterboxed or half-size drawing spans little).
    static std::tuple<double, double, double> inkOf(const QImage& image)
    {
        int inked = 0;
        QRect box;
        for (int y = 0; y < image.height(); ++y)
            for (int x = 0; x < image.width(); ++x)
                if (qAlpha(image.pixel(x, y)) > 64)
                    ++inked, box |= QRect(x, y, 1, 1);
        return {double(inked) / std::max(1, image.width() * image.height()), double(box.width()) / image.width(),
                double(box.height()) / image.height()};
    }

    PrivateBus bus;
    std::unique_ptr<QDBusConnection> watcherBus;
    TestWatcher watcher;
    std::unique_ptr<TestHost> host;
};

} // namespace

TEST_F(PanelTest, RegistersAgainWhenTheWatcherRestartsAndShowsWhatTheTrayLabelSays)
{
    settings->setValue("menuBarStyle", "spaceActivity");
    startOnPanel(stickAndHome);
    const QList<std::pair<const char*, QVariant>> properties{
        {"Category", "Hardware"}, {"Id", "mallowby"}, {"Title", "mallowby"}, {"Status", "Active"}, {"ItemIsMenu", false},
        {"Menu", QVariant::fromValue(QDBusObjectPath("/MenuBar"))}, {"IconAccessibleDesc", item().accessibilityLabel()}};
    for (const auto& [name, value] : properties)
        EXPECT_EQ(host->property(name), value) << name;
    const auto tip = host->demarshalled<StatusNotifierItem::Tip>(host->property("ToolTip"));
    EXPECT_EQ(tip.title, "mallowby");
    EXPECT_EQ(tip.subtitle, "STICK: 1.5 GB free of 32.0 GB\nread 0B/s, write 0B/s");

    // Hidden with no external drive: passive, which panels leave out.
    preferences->setHideWhenNoExternal(true);
    remount(homeOnly);
    EXPECT_EQ(host->property("Status"), "Passive");
    EXPECT_TRUE(host->heard.contains("NewStatus"));

    // The watcher goes and another one comes: the item registers with it.
    watcherBus->unregisterService(StatusNotifierItem::watcherService);
    watcherBus->unregisterObject("/StatusNotifierWatcher");
    ASSERT_TRUE(TestEnvironment::waitUntil([&] { return !item().usesStatusNotifier(); }, 10s));
    watcher.registered.clear();
    startWatcher();
    EXPECT_TRUE(TestEnvironment::waitUntil([&] { return watcher.registered.size() == 1 && item().usesStatusNotifier(); }, 10s));
}

TEST_F(PanelTest, EachFaceGivesPixmapsAtTrueSizesAndTheLabelItsFigures)
{
    settings->setValue("menuBarStyle", "space");
    startOnPanel(stickAndHome);
    using Image = Preferences::PanelImage;
    const QList<int> squares{16, 22, 24, 32, 48, 64};
    struct Row {
        const char* name;
        Image choice;
        bool wide;
        QString label;
    };
    // The test's own process owns the watcher: an unknown panel, which gets the square face.
    for (const Row& row : {Row{"automatic", Image::automatic, false, ""}, Row{"label", Image::label, false, "1.5G"},
                           Row{"wide", Image::wide, true, ""}, Row{"square", Image::square, false, ""}}) {
        host->heard.clear();
        preferences->setPanelImage(row.choice);
        settle();
        const auto pixmaps = host->demarshalled<StatusNotifierItem::Pixmaps>(host->property("IconPixmap"));
        QList<int> sizes;
        for (const StatusNotifierItem::Pixmap& pixmap : pixmaps) {
            const QImage image = pixmap.toImage();
            ASSERT_FALSE(image.isNull()) << row.name;
            sizes << pixmap.height;
            const auto [share, across, down] = inkOf(image);
            const std::string where = std::string(row.name) + " " + std::to_string(pixmap.height);
            EXPECT_GT(share, row.wide ? 0.03 : 0.1) << where;
            EXPECT_GT(down, 0.6) << where;
            EXPECT_GT(across, row.wide ? 0.3 : 0.9) << where;
            // Wide: the image at the bar's height, its aspect kept; else square.
            EXPECT_EQ(pixmap.width, row.wide ? item().image().width() * pixmap.height / item().image().height() : pixmap.height)
                << row.name;
        }
        EXPECT_EQ(sizes, (row.wide ? QList<int>{22, 44} : squares)) << row.name;
        EXPECT_EQ(host->property("XAyatanaLabel"), row.label) << row.name;
        if (!row.label.isEmpty()) {
            EXPECT_TRUE(host->heard.contains("XAyatanaNewLabel")) << row.name;
            // The guide holds the widest figures of the reserved styles: space, and the rates of a transfer.
            EXPECT_EQ(host->property("XAyatanaLabelGuide").toString(), "R 888M W 888M") << row.name;
        }
        if (row.choice == Image::wide || row.choice == Image::square) {  // the pixmaps changed
            EXPECT_TRUE(host->heard.contains("NewIcon")) << row.name;
        }
    }
}

TEST_F(PanelTest, TheMenuOverDBusIsTheTrayMenuAndEachClickReachesItsAction)
{
    startOnPanel(homeOnly);
    const auto items = [&] {
        QStringList entries;
        for (const DBusMenuExporter::LayoutItem& child : host->layout().children)
            entries << (child.properties.value("type") == "separator" ? "-"
                        : child.properties.value("label").toString()
                                  + (child.properties.value("enabled", true).toBool() ? "" : " (off)"));
        return entries;
    };
    EXPECT_EQ(items(), (QStringList{"Eject All (off)", "Open mallowby", "Settings…", "Copy Diagnostics", "Check for Updates…",
                                    "-", "Quit mallowby"}));
    const QList<DBusMenuExporter::LayoutItem> children = host->layout().children;
    for (const auto& [index, key] : {std::pair{2, ","}, std::pair{6, "q"}})
        EXPECT_EQ(host->demarshalled<QList<QStringList>>(children[index].properties.value("shortcut")),
                  (QList<QStringList>{{"Control", key}}));

    // A drive arrives: Eject All is on, and the panel hears of it.
    remount(stickAndHome);
    EXPECT_TRUE(host->heard.contains("ItemsPropertiesUpdated"));
    EXPECT_EQ(items().first(), "Eject All");

    // "clicked" triggers the action of that id: Quit (kept from quitting the test), then Settings….
    QAction* quit = controller->exportedMenu()->actions().at(6);
    QObject::disconnect(quit, nullptr, qApp, nullptr);
    int quits = 0;
    QObject::connect(quit, &QAction::triggered, [&] { ++quits; });
    const QString menu = "com.canonical.dbusmenu";
    host->call(StatusNotifierItem::menuPath, menu, "Event", {children[6].id, "clicked", QVariant::fromValue(QDBusVariant(0)), 0u});
    host->call(StatusNotifierItem::menuPath, menu, "Event", {children[2].id, "clicked", QVariant::fromValue(QDBusVariant(0)), 0u});
    EXPECT_TRUE(TestEnvironment::waitUntil([&] { return controller->isPopoverShown(); }, 5s));
    EXPECT_TRUE(controller->popoverState().showingSettings());
    EXPECT_EQ(quits, 1);
    const QDBusMessage about = host->call(StatusNotifierItem::menuPath, menu, "AboutToShow", {0});
    EXPECT_EQ(about.arguments().value(0), false);
}

TEST_F(PanelTest, ActivateTogglesSecondaryOpensAndContextMenuPopsTheMenuAtThePanelsPoint)
{
    startOnPanel(homeOnly, {{"MALLOWBY_POPOVER", "internal"}});
    EXPECT_TRUE(controller->popoverState().internalExpanded());
    struct Row {
        const char* method;
        QPoint at;
        bool shown;
    };
    const QRect available = QGuiApplication::primaryScreen()->availableGeometry();
    const QPoint low(40, available.bottom() - 2);
    for (const Row& row : {Row{"Activate", {600, 30}, true}, Row{"Activate", {600, 30}, false},
                           Row{"SecondaryActivate", low, true}, Row{"SecondaryActivate", {40, 30}, true},
                           Row{"Activate", {40, 30}, false}}) {
        const bool wasShown = controller->isPopoverShown();
        host->call(StatusNotifierItem::objectPath, "org.kde.StatusNotifierItem", row.method, {row.at.x(), row.at.y()});
        settle();
        ASSERT_EQ(controller->isPopoverShown(), row.shown) << row.method << " at " << row.at.x() << "," << row.at.y();
        if (row.shown && !wasShown) {
            // Kept open in the developer modes; opened at the point, above it near the bottom edge.
            const PopoverWindow* popover = controller->popover();
            EXPECT_EQ(popover->behavior(), PopoverWindow::Behavior::applicationDefined);
            EXPECT_EQ(popover->y() < row.at.y(), row.at == low) << row.method;
            EXPECT_EQ(popover->x(), PopoverWindow::placement(popover->size(), QRect(row.at, QSize(1, 1)), available).x());
        }
    }
    host->call(StatusNotifierItem::objectPath, "org.kde.StatusNotifierItem", "ContextMenu", {100, 200});
    ASSERT_NE(controller->menu(), nullptr);
    EXPECT_TRUE(controller->menu()->isVisible());
    EXPECT_EQ(item().geometry(), QRect(100, 200, 1, 1));
    // Control-click asks for the menu too, built afresh.
    controller->menu()->hide();
    settle();
    EXPECT_EQ(controller->menu(), nullptr);
    controller->handleClick(Qt::LeftButton, Qt::ControlModifier);
    EXPECT_NE(controller->menu(), nullptr);
    EXPECT_FALSE(controller->isPopoverShown());
}

TEST(PanelHost, FaceAndInkFromTheWatchersProcess)
{
    using Face = PanelHost::Face;
    const QList<std::tuple<QString, Face, bool>> rows{
        {"gnome-shell", Face::label, true}, {"waybar", Face::wide, true},      {"swaybar", Face::square, true},
        {"plasmashell", Face::square, false}, {"kded5", Face::square, false}, {"xfce4-panel", Face::square, true},
        {"wrapper-2.0", Face::square, true}, {"panel-3-systray", Face::square, true}, {"mate-panel", Face::wide, false}, {"test", Face::square, false}};
    for (const auto& [name, face, dark] : rows)
        EXPECT_EQ(PanelHost::forProcess(name), (PanelHost{.face = face, .darkPanel = dark})) << name.toStdString();
}

#include "StatusItemControllerTest.moc"
