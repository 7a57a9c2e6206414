// The tray item over the whole stack: what it draws, says and samples, and how a panel drives it.

#include "MenuBar/DBusMenuExporter.h"
#include "MenuBar/PanelAppearance.h"
#include "MenuBar/PanelHost.h"
#include "MenuBar/StatusNotifierItem.h"
#include "Popover/PopoverState.h"
#include "TrayRig.h"

#include "support/PrivateBus.h"

#include <QApplication>
#include <QDBusMessage>
#include <QDBusPendingCall>
#include <QDBusVirtualObject>
#include <QFile>
#include <QMenu>
#include <QRegularExpression>
#include <QScreen>

using namespace mallowby;
using namespace mallowby::test;

namespace {

// Some opaque near-white pixel: label ink for a dark panel.
bool inLightInk(const QImage& drawn)
{
    for (int y = 0; y < drawn.height(); ++y)
        for (int x = 0; x < drawn.width(); ++x)
            if (const QRgb pixel = drawn.pixel(x, y); qAlpha(pixel) == 255 && qGray(pixel) > 200)
                return true;
    return false;
}

} // namespace

using StatusItemControllerTest = TrayRig;

TEST_F(StatusItemControllerTest, TheImageKeepsItsWidthIsDrawnOnceForEqualInputsAndSnapshottedInThePanelsInk)
{
    const QString snapshot = dir.filePath("tray.png");
    settings->setValue("menuBarStyle", "space");
    settings->setValue("pinnedVolumeID", "gone-away");
    start(stickAndHome, {{"MALLOWBY_SNAPSHOT", snapshot}});
    // Space without its volume: the symbol, badged as 1.5 GB free of 32 is below the default 10 %.
    EXPECT_EQ(controller->resolvedStyle(), MenuBarStyle::icon);
    const MenuBarRenderer::Layout layout = controller->lastRender()->layout;
    EXPECT_EQ(layout.pieces, QList<MenuBarRenderer::Piece>{MenuBarRenderer::Piece::glyph(true)});
    // Room stays for the figure and a transfer's rates, so the item does not jump when they come.
    MenuBarRenderer::Inputs activity;
    activity.trace = MenuBarRenderer::Inputs::Trace{};
    const double activityWidth = MenuBarRenderer::width(MenuBarRenderer::pieces(MenuBarStyle::activity, activity));
    EXPECT_EQ(layout.width, std::max({activityWidth, std::ceil(MenuBarRenderer::stackedWidth()), MenuBarRenderer::glyphWidth()}));
    EXPECT_GT(layout.width, MenuBarRenderer::glyphWidth());
    EXPECT_EQ(item().toolTip(), QString());
    EXPECT_EQ(QImage(snapshot).convertToFormat(QImage::Format_ARGB32), item().image().convertToFormat(QImage::Format_ARGB32));
    // 4 points in from both ends, in the 22-point bar.
    const QRectF frame = item().imageFrame();
    EXPECT_EQ(frame, QRectF(4, 0, item().image().width() / controller->lastRender()->scale, 22));
    EXPECT_EQ(item().length(), frame.width() + 8);

    const auto redraws = [&](const std::function<void()>& change) {
        const qint64 image = item().image().cacheKey();
        const auto key = controller->lastRender();
        QFile::remove(snapshot);
        change();
        settle();
        const bool drawn = item().image().cacheKey() != image;
        EXPECT_EQ(controller->lastRender() != key, drawn);
        EXPECT_EQ(QFile::exists(snapshot), drawn);
        return drawn;
    };
    EXPECT_FALSE(redraws([&] { controller->refresh(); }));
    const double length = item().length();
    EXPECT_TRUE(redraws([&] { preferences->setPinnedVolumeID(volumeAt("/run/media/me/STICK")->id); }));
    EXPECT_EQ(controller->lastRender()->layout.pieces,
              QList<MenuBarRenderer::Piece>{MenuBarRenderer::Piece::stacked("STICK!", "1.5G")});
    EXPECT_EQ(item().length(), length);
    EXPECT_TRUE(redraws([&] { preferences->setUnits(ByteUnits::binary); }));
    const QPalette light = QApplication::palette();
    QPalette dark = light;
    dark.setColor(QPalette::Window, QColor(30, 30, 30));
    for (const auto& [palette, appearance] : {std::pair{dark, QString("dark")}, std::pair{light, QString("light")}}) {
        EXPECT_TRUE(redraws([&] { QApplication::setPalette(palette); })) << appearance.toStdString();
        EXPECT_EQ(controller->lastRender()->appearance, appearance);
        EXPECT_EQ(inLightInk(item().image()), appearance == "dark");
    }
}

TEST_F(StatusItemControllerTest, TheSpokenLabelAndTooltipFollowTheFigures)
{
    start(homeOnly);
    EXPECT_EQ(item().accessibilityLabel(), "No external drives.");
    EXPECT_EQ(item().toolTip(), QString()) << "the automatic choice is the boot volume, which /home is not";

    // A pinned stick, two volumes low on space besides it.
    preferences->setLowSpaceThreshold(LowSpaceThreshold::gigabytes(100));
    remount(twoDrives);
    setSpace("/home", {500 * GB, 80 * GB, 80 * GB, false});
    store->refreshAll();
    settle();
    preferences->setPinnedVolumeID(volumeAt("/run/media/me/STICK")->id);
    settle();
    EXPECT_EQ(item().accessibilityLabel(), "2 external drives. STICK, 1.5 gigabytes free. Low on space: BACKUP, STICK, and home.");
    EXPECT_EQ(item().toolTip(), "STICK: 1.5 GB free of 32.0 GB");

    // Reads and writes on both drives (spoken as their sums); the stick has room again.
    setSpace("/run/media/me/STICK", {320 * GB, 150 * GB, 150 * GB, false});
    store->refreshAll();
    settle();
    drives->setDetailed(true);
    clock.advance(1s);
    tree->setCounters("sdb", {2'000'000 + 512 * 4, 512 * 2});
    tree->setCounters("sdc", {0, 3'000'064});
    clock.advance(1s);
    settle();
    EXPECT_EQ(item().accessibilityLabel(), "2 external drives. STICK, 150 gigabytes free, reading 2.0 megabytes per second, "
                                           "writing 3.0 megabytes per second. Low on space: BACKUP and home.");
    EXPECT_EQ(item().toolTip(), "STICK: 150 GB free of 320 GB");

    // A pinned volume whose figures are not read yet: its name alone.
    world.capacities.set("/run/media/me/NEW", std::nullopt);
    remount({{"/home", "/dev/nvme0n1p2"}, {"/run/media/me/NEW", "/dev/sdb2"}});
    preferences->setPinnedVolumeID(volumeAt("/run/media/me/NEW")->id);
    settle();
    EXPECT_EQ(item().toolTip(), volumeAt("/run/media/me/NEW")->name);
    EXPECT_TRUE(item().accessibilityLabel().startsWith("1 external drive. "));
}

TEST_F(StatusItemControllerTest, SamplingIsDetailedWhileThePopoverShowsOrActivityCanBeSeenAndHiddenWithoutExternals)
{
    settings->setValue("menuBarStyle", "activity");
    settings->setValue("hideWhenNoExternal", true);
    start(homeOnly);
    // Activity on show but no external drive: nothing to watch every second, nothing to show.
    EXPECT_FALSE(item().isVisible());
    EXPECT_EQ(drives->timerInterval(), std::nullopt);
    remount(stickAndHome);
    EXPECT_TRUE(item().isVisible());
    EXPECT_EQ(drives->timerInterval(), 1);
    preferences->setMenuBarStyle(MenuBarStyle::icon);
    settle();
    EXPECT_EQ(drives->timerInterval(), 5);

    // The popover shows live figures of every drive.
    controller->showPopover(std::nullopt, false);
    ASSERT_TRUE(controller->isPopoverShown());
    EXPECT_TRUE(drives->isDetailed() && store->isRefreshing());
    controller->popover()->performClose();
    EXPECT_FALSE(controller->isPopoverShown());
    settle();
    EXPECT_EQ(controller->popover(), nullptr);
    EXPECT_FALSE(drives->isDetailed() || store->isRefreshing());

    // A high rate makes the detector pending, which asks for every second until it decides.
    quint64 written = 50'000'000;
    tree->setCounters("sdb", {0, written});
    clock.advance(5s);
    settle();
    ASSERT_TRUE(controller->transfer().isPending());
    EXPECT_TRUE(drives->isDetailed());
    for (int i = 0; i < 4; ++i) {
        tree->setCounters("sdb", {0, written += 10'000'000});
        clock.advance(1s);
    }
    settle();
    // A transfer: the activity style takes over and keeps the detail; ten quiet seconds end it.
    ASSERT_TRUE(controller->transfer().isActive);
    EXPECT_EQ(controller->resolvedStyle(), MenuBarStyle::activity);
    EXPECT_TRUE(drives->isDetailed());
    clock.advance(11s);
    settle();
    EXPECT_FALSE(controller->transfer().isActive || drives->isDetailed());

    remount(homeOnly);
    EXPECT_FALSE(item().isVisible());
    preferences->setHideWhenNoExternal(false);
    settle();
    EXPECT_TRUE(item().isVisible());
}

TEST_F(StatusItemControllerTest, OpeningThePopoverDismissesIdleStatusesOfDrivesThatLeft)
{
    start(stickAndHome);
    const EjectTarget gone{"999", "Old Disk", VolumeKind::external, {BlockDevice{999, "sdz"}}, std::nullopt};
    const EjectTarget stick = EjectTarget::fromDrive(*driveOf("/run/media/me/STICK"));
    for (const EjectTarget& target : {gone, stick}) {
        disks->refusals.insert(target.members.first().bsdName, Dissent{Dissent::notPermitted, std::nullopt});
        ASSERT_EQ(TestEnvironment::await(ejector->eject(target, false)), false);
    }
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

TEST(PanelAppearance, PortalValuesInAnyNestingAndNonsenseAsNoPreference)
{
    using Scheme = PanelAppearance::ColorScheme;
    const QVariant twice = QVariant::fromValue(QDBusVariant(QVariant::fromValue(QDBusVariant(QVariant(uint(1))))));
    for (const auto& [value, scheme] : {std::pair{twice, Scheme::preferDark}, {QVariant(uint(2)), Scheme::preferLight},
                                        {QVariant(uint(7)), Scheme::noPreference}, {QVariant("1"), Scheme::noPreference},
                                        {QVariant(), Scheme::noPreference}})
        EXPECT_EQ(PanelAppearance::fromPortalValue(value), scheme) << value.toString().toStdString();
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
    QDBusMessage menu(const QString& method, const QVariantList& arguments)
    {
        return call(StatusNotifierItem::menuPath, "com.canonical.dbusmenu", method, arguments);
    }
    QVariant property(const QString& name)
    {
        return call(StatusNotifierItem::objectPath, "org.freedesktop.DBus.Properties", "Get", {"org.kde.StatusNotifierItem", name})
            .arguments().value(0).value<QDBusVariant>().variant();
    }
    template <typename T>
    static T demarshalled(const QVariant& value)
    {
        T result;
        value.value<QDBusArgument>() >> result;
        return result;
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

    PrivateBus bus;
    std::unique_ptr<QDBusConnection> watcherBus;
    TestWatcher watcher;
    std::unique_ptr<TestHost> host;
};

} // namespace

TEST_F(PanelTest, EachFaceGivesPixmapsAtTrueSizesAndTheLabelItsFigures)
{
    settings->setValue("menuBarStyle", "space");
    startOnPanel(stickAndHome);
    using Image = Preferences::PanelImage;
    struct Row {
        const char* name;
        Image choice;
        bool wide;
        QString label;
    };
    // The test's own process owns the watcher: an unknown panel, which gets the square face.
    for (const Row& row : {Row{"automatic", Image::automatic, false, ""}, Row{"label", Image::label, false, "1.5G"},
                           Row{"wide", Image::wide, true, ""}, Row{"square", Image::square, false, ""}}) {
        SCOPED_TRACE(row.name);
        host->heard.clear();
        preferences->setPanelImage(row.choice);
        settle();
        QList<int> sizes;
        for (const StatusNotifierItem::Pixmap& pixmap : TestHost::demarshalled<StatusNotifierItem::Pixmaps>(host->property("IconPixmap"))) {
            sizes << pixmap.height;
            // Ink across the whole height (and width, when square): not letterboxed, not half size.
            const QImage image = pixmap.toImage();
            int inked = 0;
            QRect box;
            for (int y = 0; y < image.height(); ++y)
                for (int x = 0; x < image.width(); ++x)
                    if (qAlpha(image.pixel(x, y)) > 64)
                        ++inked, box |= QRect(x, y, 1, 1);
            EXPECT_GT(inked, image.width() * image.height() * (row.wide ? 0.03 : 0.1)) << pixmap.height;
            EXPECT_GT(box.height(), image.height() * 0.6) << pixmap.height;
            EXPECT_GT(box.width(), image.width() * (row.wide ? 0.3 : 0.9)) << pixmap.height;
            // Wide: the image at the bar's height, its aspect kept; else square.
            EXPECT_EQ(pixmap.width, row.wide ? item().image().width() * pixmap.height / item().image().height() : pixmap.height);
        }
        EXPECT_EQ(sizes, (row.wide ? QList<int>{22, 44} : QList<int>{16, 22, 24, 32, 48, 64}));
        EXPECT_EQ(host->property("XAyatanaLabel"), row.label);
        // The guide holds the widest figures of the reserved styles: space, and a transfer's rates.
        if (!row.label.isEmpty()) {
            EXPECT_TRUE(host->heard.contains("XAyatanaNewLabel") && host->property("XAyatanaLabelGuide") == "R 888M W 888M");
        }
        EXPECT_EQ(host->heard.contains("NewIcon"), row.choice == Image::wide || row.choice == Image::square);
    }
}

TEST_F(PanelTest, TheItemShowsWhatTheTrayShowsItsMenuReachesTheActionsAndItRegistersWithANewWatcher)
{
    settings->setValue("menuBarStyle", "spaceActivity");
    startOnPanel(homeOnly);
    const auto items = [&] {
        const auto root = TestHost::demarshalled<DBusMenuExporter::LayoutItem>(host->menu("GetLayout", {0, -1, QStringList{}}).arguments().value(1));
        QStringList entries;
        for (const DBusMenuExporter::LayoutItem& child : root.children) {
            const QVariantMap& p = child.properties;
            const auto keys = TestHost::demarshalled<QList<QStringList>>(p.value("shortcut"));
            entries << QString::number(child.id) + " " + (p.value("type") == "separator" ? "-" : p.value("label").toString())
                           + (p.value("enabled", true).toBool() ? "" : " (off)") + (keys.isEmpty() ? "" : " ^" + keys[0].join('+'));
        }
        return entries;
    };
    const QStringList menu = items();
    EXPECT_EQ(QStringList(menu).replaceInStrings(QRegularExpression("^\\d+ "), ""),
              (QStringList{"Eject All (off)", "Open mallowby", "Settings… ^Control+,", "Copy Diagnostics", "Check for Updates…", "-",
                           "Quit mallowby ^Control+q"}));
    // A drive arrives: Eject All is on, and the panel hears of it.
    remount(stickAndHome);
    EXPECT_TRUE(host->heard.contains("ItemsPropertiesUpdated"));
    EXPECT_TRUE(items().first().endsWith(" Eject All"));
    const QList<std::pair<const char*, QVariant>> properties{
        {"Category", "Hardware"}, {"Id", "mallowby"}, {"Title", "mallowby"}, {"Status", "Active"}, {"ItemIsMenu", false},
        {"Menu", QVariant::fromValue(QDBusObjectPath("/MenuBar"))}, {"IconAccessibleDesc", item().accessibilityLabel()}};
    for (const auto& [name, value] : properties)
        EXPECT_EQ(host->property(name), value) << name;
    const auto tip = TestHost::demarshalled<StatusNotifierItem::Tip>(host->property("ToolTip"));
    EXPECT_EQ(tip.title + "\n" + tip.subtitle, "mallowby\nSTICK: 1.5 GB free of 32.0 GB\nread 0B/s, write 0B/s");

    // "clicked" triggers the action of that id: Quit (kept from quitting the test), then Settings….
    QAction* quit = controller->exportedMenu()->actions().at(6);
    QObject::disconnect(quit, nullptr, qApp, nullptr);
    int quits = 0;
    QObject::connect(quit, &QAction::triggered, [&] { ++quits; });
    for (int index : {6, 2})
        host->menu("Event", {menu[index].section(' ', 0, 0).toInt(), "clicked", QVariant::fromValue(QDBusVariant(0)), 0u});
    EXPECT_TRUE(TestEnvironment::waitUntil([&] { return controller->isPopoverShown(); }, 5s));
    EXPECT_TRUE(controller->popoverState().showingSettings());
    EXPECT_EQ(quits, 1);
    EXPECT_EQ(host->menu("AboutToShow", {0}).arguments().value(0), false);

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

// The desktop's settings portal, as python-dbusmock plays it on the panel's bus.
TEST_F(PanelTest, ADesktopThatPrefersDarkGetsTheDarkPanelImageAndChangesRedrawIt)
{
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
    settings->setValue("menuBarStyle", "space");
    startOnPanel(stickAndHome);
    const auto setting = [&](const QString& group, const QString& key, uint value) {
        return [=] { mock("EmitSignal", {settingsInterface, "SettingChanged", "ssv", QVariantList{group, key, QVariant::fromValue(value)}}); };
    };
    const struct {
        const char* name;
        std::function<void()> change;
        const char* appearance;
    } rows[] = {
        {"the portal's answer", [] {}, "dark"},
        {"another key", setting("org.freedesktop.appearance", "accent-color", 0), "dark"},
        {"another group", setting("org.gnome.desktop.interface", "color-scheme", 0), "dark"},
        {"light", setting("org.freedesktop.appearance", "color-scheme", 2), "light"},
        {"dark", setting("org.freedesktop.appearance", "color-scheme", 1), "dark"},
        // The ink the user chose wins over the desktop's preference.
        {"dark ink", [&] { preferences->setPanelInk(Preferences::PanelInk::dark); }, "light"},
        {"light ink", [&] { preferences->setPanelInk(Preferences::PanelInk::light); }, "dark"},
    };
    for (const auto& row : rows) {
        row.change();
        settle();
        EXPECT_TRUE(TestEnvironment::waitUntil([&] { return controller->lastRender()->appearance == row.appearance; }, 10s))
            << row.name;
        EXPECT_EQ(inLightInk(item().image()), row.appearance == QString("dark")) << row.name;
    }
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
        SCOPED_TRACE(row.method + (" at " + std::to_string(row.at.y())));
        const bool wasShown = controller->isPopoverShown();
        host->call(StatusNotifierItem::objectPath, "org.kde.StatusNotifierItem", row.method, {row.at.x(), row.at.y()});
        settle();
        ASSERT_EQ(controller->isPopoverShown(), row.shown);
        if (row.shown && !wasShown) {
            // Kept open in the developer modes; opened at the point, above it near the bottom edge.
            const PopoverWindow* popover = controller->popover();
            EXPECT_EQ(popover->behavior(), PopoverWindow::Behavior::applicationDefined);
            EXPECT_EQ(popover->x(), PopoverWindow::placement(popover->size(), QRect(row.at, QSize(1, 1)), available).x());
            EXPECT_EQ(popover->y() < row.at.y(), row.at == low);
        }
    }
    host->call(StatusNotifierItem::objectPath, "org.kde.StatusNotifierItem", "ContextMenu", {100, 200});
    ASSERT_NE(controller->menu(), nullptr);
    EXPECT_TRUE(controller->menu()->isVisible());
    EXPECT_EQ(item().geometry(), QRect(100, 200, 1, 1));
    // Built afresh each time it is asked for.
    controller->menu()->hide();
    settle();
    EXPECT_EQ(controller->menu(), nullptr);
}

#include "StatusItemControllerTest.moc"
