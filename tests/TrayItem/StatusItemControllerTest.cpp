// The tray item over the whole stack: what it draws, says and samples, and how a panel drives it.

#include "MenuBar/DBusMenuExporter.h"
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

// From no external drive to a stick, a transfer on it, and two drives low on space: at each step
// whether the item shows, how often drives are sampled, what it draws, says and snapshots.
TEST_F(StatusItemControllerTest, TheItemFollowsTheDrivesTheirFiguresAndThePopover)
{
    const QString snapshot = dir.filePath("tray.png");
    settings->setValue("menuBarStyle", "activity");
    settings->setValue("hideWhenNoExternal", true);
    start(homeOnly, {{"MALLOWBY_SNAPSHOT", snapshot}});
    // Shown or hidden, seconds between samples, live figures, space reads, the popover, a transfer.
    const auto sampling = [&] {
        settle();
        const std::optional<int> interval = drives->timerInterval();
        return QStringList{item().isVisible() ? "shown" : "hidden", interval ? QString::number(*interval) + " s" : "unsampled",
                           drives->isDetailed() ? "detailed" : "coarse", store->isRefreshing() ? "reading space" : "",
                           controller->popover() ? "popover" : "", controller->transfer().isPending() ? "pending" : "",
                           controller->transfer().isActive ? "transfer" : "", controller->resolvedStyle() == MenuBarStyle::activity ? "activity" : ""}
            .join(' ').simplified();
    };
    // What it says, and its tooltip.
    const auto said = [&] {
        settle();
        return item().accessibilityLabel() + " | " + item().toolTip();
    };
    // Activity on show but no external drive: nothing to watch every second, nothing to show; the
    // automatic choice of volume is the boot volume, which /home is not.
    EXPECT_EQ(sampling(), "hidden unsampled coarse activity");
    EXPECT_EQ(said(), "No external drives. | read 0B/s, write 0B/s");
    remount(stickAndHome);
    EXPECT_EQ(sampling(), "shown 1 s detailed activity") << "a stick arrived";
    preferences->setMenuBarStyle(MenuBarStyle::icon);
    EXPECT_EQ(sampling(), "shown 5 s coarse") << "icon style";

    // Opening shows live figures and dismisses idle statuses of drives that left; asked again
    // while shown, only the state moves.
    const EjectTarget gone{"999", "Old Disk", VolumeKind::external, {BlockDevice{999, "sdz"}}, std::nullopt};
    const EjectTarget stick = EjectTarget::fromDrive(*driveOf("/run/media/me/STICK"));
    for (const EjectTarget& target : {gone, stick}) {
        disks->answers.insert(target.members.first().bsdName, Dissent{Dissent::notPermitted, std::nullopt});
        ASSERT_EQ(TestEnvironment::await(ejector->eject(target, false)), false);
    }
    controller->showPopover("x", true);
    EXPECT_EQ(ejector->statuses().keys(), QStringList{stick.id});
    EXPECT_TRUE(controller->popoverState().focus() == "x" && controller->popoverState().showingSettings());
    controller->showPopover(std::nullopt, false);
    EXPECT_FALSE(controller->popoverState().showingSettings() || controller->popoverState().focus());
    EXPECT_EQ(sampling(), "shown 1 s detailed reading space popover") << "popover open";
    controller->popover()->performClose();
    EXPECT_EQ(sampling(), "shown 5 s coarse") << "popover closed";

    // A high rate makes the detector pending, which asks for every second until it decides; a
    // transfer shows activity; ten quiet seconds end it.
    quint64 written = 0;
    const auto write = [&](quint64 bytes, std::chrono::seconds after) {
        tree->setCounters("sdb", {0, written += bytes});
        clock.advance(after);
    };
    write(50'000'000, 5s);
    EXPECT_EQ(sampling(), "shown 1 s detailed pending") << "a high rate";
    for (int i = 0; i < 4; ++i)
        write(10'000'000, 1s);
    EXPECT_EQ(sampling(), "shown 1 s detailed transfer activity") << "four seconds of writes";
    clock.advance(11s);
    EXPECT_EQ(sampling(), "shown 5 s coarse") << "ten quiet seconds";
    remount(homeOnly);
    EXPECT_EQ(sampling(), "hidden unsampled coarse") << "the stick left";
    preferences->setHideWhenNoExternal(false);
    EXPECT_EQ(sampling(), "shown unsampled coarse") << "shown without externals";

    // Space without its volume: the symbol, badged as 1.5 GB free of 32 is below the default 10 %,
    // with room for the figure and a transfer's rates, so the item does not jump when they come.
    preferences->setPinnedVolumeID("gone-away");
    preferences->setMenuBarStyle(MenuBarStyle::space);
    remount(stickAndHome);
    EXPECT_EQ(controller->resolvedStyle(), MenuBarStyle::icon);
    const MenuBarRenderer::Layout layout = controller->lastRender()->layout;
    EXPECT_EQ(layout.pieces, QList<MenuBarRenderer::Piece>{MenuBarRenderer::Piece::glyph(true)});
    MenuBarRenderer::Inputs activity;
    activity.trace = MenuBarRenderer::Inputs::Trace{};
    const double activityWidth = MenuBarRenderer::width(MenuBarRenderer::pieces(MenuBarStyle::activity, activity));
    EXPECT_EQ(layout.width, std::max({activityWidth, std::ceil(MenuBarRenderer::stackedWidth()), MenuBarRenderer::glyphWidth()}));
    EXPECT_EQ(item().toolTip(), QString());
    EXPECT_EQ(QImage(snapshot).convertToFormat(QImage::Format_ARGB32), item().image().convertToFormat(QImage::Format_ARGB32));
    // 4 points in from both ends, in the 22-point bar.
    EXPECT_EQ(item().imageFrame(), QRectF(4, 0, item().image().width() / controller->lastRender()->scale, 22));
    const double length = item().length();
    EXPECT_EQ(length, item().imageFrame().width() + 8);

    // Drawn (and snapshotted) once per change of what it shows, in the panel's ink.
    const QPalette light = QApplication::palette();
    QPalette dark = light;
    dark.setColor(QPalette::Window, QColor(30, 30, 30));
    const struct {
        const char* name;
        std::function<void()> change;
        bool drawn;
    } changes[] = {
        {"equal inputs", [&] { controller->refresh(); }, false},
        {"pinned", [&] { preferences->setPinnedVolumeID(volumeAt("/run/media/me/STICK")->id); }, true},
        {"binary units", [&] { preferences->setUnits(ByteUnits::binary); }, true},
        {"decimal units", [&] { preferences->setUnits(ByteUnits::decimal); }, true},
        {"dark", [&] { QApplication::setPalette(dark); }, true},
        {"light", [&] { QApplication::setPalette(light); }, true},
    };
    for (const auto& row : changes) {
        SCOPED_TRACE(row.name);
        const qint64 image = item().image().cacheKey();
        const auto key = controller->lastRender();
        QFile::remove(snapshot);
        row.change();
        settle();
        EXPECT_EQ(item().image().cacheKey() != image, row.drawn);
        EXPECT_EQ(controller->lastRender() != key, row.drawn);
        EXPECT_EQ(QFile::exists(snapshot), row.drawn);
        const bool isDark = row.name == std::string("dark");
        EXPECT_EQ(controller->lastRender()->appearance, isDark ? "dark" : "light");
        EXPECT_EQ(inLightInk(item().image()), isDark);
    }
    EXPECT_EQ(controller->lastRender()->layout.pieces, QList<MenuBarRenderer::Piece>{MenuBarRenderer::Piece::stacked("STICK!", "1.5G")});
    EXPECT_EQ(item().length(), length);

    // The pinned stick and two volumes low on space besides it; then reads and writes on both
    // drives, spoken as their sums, with room on the stick; then a pinned volume not read yet.
    preferences->setLowSpaceThreshold(LowSpaceThreshold::gigabytes(100));
    remount(twoDrives);
    reread("/home", {500 * GB, 80 * GB, 80 * GB, false});
    EXPECT_EQ(said(), "2 external drives. STICK, 1.5 gigabytes free. Low on space: BACKUP, STICK, and home. | STICK: 1.5 GB free of 32.0 GB");
    reread("/run/media/me/STICK", {320 * GB, 150 * GB, 150 * GB, false});
    drives->setDetailed(true);
    clock.advance(1s);
    tree->setCounters("sdb", {2'000'000 + 512 * 4, written + 512 * 2});
    tree->setCounters("sdc", {0, 3'000'064});
    clock.advance(1s);
    EXPECT_EQ(said(), "2 external drives. STICK, 150 gigabytes free, reading 2.0 megabytes per second, writing 3.0 megabytes per "
                      "second. Low on space: BACKUP and home. | STICK: 150 GB free of 320 GB");
    world.capacities.set("/run/media/me/NEW", std::nullopt);
    remount({{"/home", "/dev/nvme0n1p2"}, {"/run/media/me/NEW", "/dev/sdb2"}});
    preferences->setPinnedVolumeID(volumeAt("/run/media/me/NEW")->id);
    clock.advance(5s);
    EXPECT_EQ(said(), "1 external drive. Low on space: home. | NEW");
}

// The watcher's process names the panel; XFCE's plugin wrappers name themselves after it.
TEST(PanelHost, FaceAndInkFromTheWatchersProcess)
{
    using Face = PanelHost::Face;
    for (const auto& [name, face, dark] : {std::tuple{"gnome-shell", Face::label, true}, {"mate-panel", Face::wide, false},
                                           {"wrapper-2.0", Face::square, true}, {"panel-3-systray", Face::square, true}, {"test", Face::square, false}})
        EXPECT_EQ(PanelHost::forProcess(name), (PanelHost{.face = face, .darkPanel = dark})) << name;
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

// The panel's side, on a connection of its own: calls the item and hears its signals.
class TestHost : public QObject {
    Q_OBJECT
public:
    static constexpr const char* itemInterface = "org.kde.StatusNotifierItem";
    static constexpr const char* menuInterface = "com.canonical.dbusmenu";
    TestHost(QDBusConnection connection, QString service) : m_connection(connection), m_service(std::move(service))
    {
        for (const char* name : {"NewIcon", "NewToolTip", "NewStatus", "XAyatanaNewLabel"})
            m_connection.connect(m_service, StatusNotifierItem::objectPath, itemInterface, name, this, SLOT(hear(QDBusMessage)));
        m_connection.connect(m_service, StatusNotifierItem::menuPath, menuInterface, "ItemsPropertiesUpdated", this, SLOT(hear(QDBusMessage)));
    }
    // Calls the item's menu, or else the item; waits for the reply with the event loop running, as
    // the item answers on this thread.
    QDBusMessage call(const QString& interface, const QString& method, const QVariantList& arguments = {})
    {
        const QString path = interface == menuInterface ? StatusNotifierItem::menuPath : StatusNotifierItem::objectPath;
        QDBusMessage message = QDBusMessage::createMethodCall(m_service, path, interface, method);
        message.setArguments(arguments);
        QDBusPendingCall pending = m_connection.asyncCall(message);
        TestEnvironment::waitUntil([&] { return pending.isFinished(); }, 10s);
        return pending.reply();
    }
    QVariant property(const QString& name)
    {
        return call("org.freedesktop.DBus.Properties", "Get", {itemInterface, name}).arguments().value(0).value<QDBusVariant>().variant();
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

// The tray item on a private session bus with a watcher, a desktop settings portal (played by
// python-dbusmock) and a panel written for the test.
class PanelTest : public TrayRig {
protected:
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

    PrivateBus bus;
    std::unique_ptr<QDBusConnection> watcherBus;
    TestWatcher watcher;
    std::unique_ptr<TestHost> host;
};

} // namespace

TEST_F(PanelTest, APanelReadsTheItemDrivesItsMenuAndClicksAndTheDesktopsColoursRedrawIt)
{
    if (const auto why = bus.unavailable())
        GTEST_SKIP() << why->toStdString();
    startWatcher();
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
    settings->setValue("menuBarStyle", "spaceActivity");
    start(homeOnly, {{"MALLOWBY_POPOVER", "internal"}});
    QDBusConnection itemBus = bus.connect();
    item().followPanel(itemBus);
    ASSERT_TRUE(TestEnvironment::waitUntil([&] { return item().usesStatusNotifier(); }, 10s)) << "never registered";
    EXPECT_EQ(watcher.registered, QStringList{itemBus.baseService()});
    host = std::make_unique<TestHost>(bus.connect(), itemBus.baseService());

    // The menu's items with their ids, states and shortcuts.
    const auto items = [&] {
        const auto root = TestHost::demarshalled<DBusMenuExporter::LayoutItem>(host->call(TestHost::menuInterface, "GetLayout", {0, -1, QStringList{}}).arguments().value(1));
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
    // "clicked" triggers the action of that id: Settings….
    host->call(TestHost::menuInterface, "Event", {menu[2].section(' ', 0, 0).toInt(), "clicked", QVariant::fromValue(QDBusVariant(0)), 0u});
    EXPECT_TRUE(TestEnvironment::waitUntil([&] { return controller->isPopoverShown(); }, 5s));
    EXPECT_TRUE(controller->popoverState().showingSettings());
    EXPECT_EQ(host->call(TestHost::menuInterface, "AboutToShow", {0}).arguments().value(0), false);
    controller->popover()->performClose();
    settle();

    // Each face: pixmaps at true sizes inked across their height (and width, when square), not
    // letterboxed or half size; wide at the bar's height, its aspect kept; the label and its guide,
    // which holds the widest figures of the reserved styles. The test's own process owns the
    // watcher: an unknown panel, which gets the square face.
    preferences->setMenuBarStyle(MenuBarStyle::space);
    settle();
    host->property("Status");  // the change's signals are heard before the rows begin
    using Image = Preferences::PanelImage;
    struct Face {
        const char* name;
        Image choice;
        bool wide;
        QString label;
    };
    for (const Face& row : {Face{"automatic", Image::automatic, false, ""}, Face{"label", Image::label, false, "1.5G"},
                            Face{"wide", Image::wide, true, ""}, Face{"square", Image::square, false, ""}}) {
        SCOPED_TRACE(row.name);
        host->heard.clear();
        preferences->setPanelImage(row.choice);
        settle();
        QList<int> sizes;
        for (const StatusNotifierItem::Pixmap& pixmap : TestHost::demarshalled<StatusNotifierItem::Pixmaps>(host->property("IconPixmap"))) {
            sizes << pixmap.height;
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
            EXPECT_EQ(pixmap.width, row.wide ? item().image().width() * pixmap.height / item().image().height() : pixmap.height);
        }
        EXPECT_EQ(sizes, (row.wide ? QList<int>{22, 44} : QList<int>{16, 22, 24, 32, 48, 64}));
        EXPECT_EQ(host->property("XAyatanaLabel"), row.label);
        if (!row.label.isEmpty()) {
            EXPECT_TRUE(host->heard.contains("XAyatanaNewLabel") && host->property("XAyatanaLabelGuide") == "R 888M W 888M");
        }
        EXPECT_EQ(host->heard.contains("NewIcon"), row.choice == Image::wide || row.choice == Image::square);
    }

    // The portal's answer (nested twice), its changes of this key only, and the ink the user
    // chose, which wins over the desktop's preference.
    const auto setting = [&](const QString& of, const QString& key, const QVariant& value) {
        return [=] { mock("EmitSignal", {settingsInterface, "SettingChanged", "ssv", QVariantList{of, key, value}}); };
    };
    const QString group = "org.freedesktop.appearance";
    const struct {
        const char* name;
        std::function<void()> change;
        const char* appearance;
    } colours[] = {
        {"the portal's answer", [] {}, "dark"},
        {"another key", setting(group, "accent-color", 0u), "dark"},
        {"another group", setting("org.gnome.desktop.interface", "color-scheme", 0u), "dark"},
        {"light", setting(group, "color-scheme", 2u), "light"},
        {"dark", setting(group, "color-scheme", 1u), "dark"},
        // Values out of range or of the wrong type: no preference, so the light palette's.
        {"out of range", setting(group, "color-scheme", 7u), "light"},
        {"dark again", setting(group, "color-scheme", 1u), "dark"},
        {"a string", setting(group, "color-scheme", "1"), "light"},
        {"dark once more", setting(group, "color-scheme", 1u), "dark"},
        {"dark ink", [&] { preferences->setPanelInk(Preferences::PanelInk::dark); }, "light"},
        {"light ink", [&] { preferences->setPanelInk(Preferences::PanelInk::light); }, "dark"},
    };
    for (const auto& row : colours) {
        row.change();
        settle();
        EXPECT_TRUE(TestEnvironment::waitUntil([&] { return controller->lastRender()->appearance == row.appearance; }, 10s))
            << row.name;
        EXPECT_EQ(inLightInk(item().image()), row.appearance == QString("dark")) << row.name;
    }

    // Activate toggles, SecondaryActivate opens: kept open in the developer modes, at the point,
    // above it near the bottom edge.
    EXPECT_TRUE(controller->popoverState().internalExpanded());
    const QRect available = QGuiApplication::primaryScreen()->availableGeometry();
    const QPoint low(40, available.bottom() - 2);
    for (const auto& [method, at, shown] : {std::tuple{"Activate", QPoint(600, 30), true}, {"Activate", QPoint(600, 30), false},
                                            {"SecondaryActivate", low, true}, {"SecondaryActivate", QPoint(40, 30), true},
                                            {"Activate", QPoint(40, 30), false}}) {
        SCOPED_TRACE(method + (" at " + std::to_string(at.y())));
        const bool wasShown = controller->isPopoverShown();
        host->call(TestHost::itemInterface, method, {at.x(), at.y()});
        settle();
        ASSERT_EQ(controller->isPopoverShown(), shown);
        if (shown && !wasShown) {
            const PopoverWindow* popover = controller->popover();
            EXPECT_EQ(popover->behavior(), PopoverWindow::Behavior::applicationDefined);
            EXPECT_EQ(popover->x(), PopoverWindow::placement(popover->size(), QRect(at, QSize(1, 1)), available).x());
            EXPECT_EQ(popover->y() < at.y(), at == low);
        }
    }
    // The context menu pops at the panel's point, built afresh each time.
    host->call(TestHost::itemInterface, "ContextMenu", {100, 200});
    ASSERT_NE(controller->menu(), nullptr);
    EXPECT_TRUE(controller->menu()->isVisible());
    EXPECT_EQ(item().geometry(), QRect(100, 200, 1, 1));
    controller->menu()->hide();
    settle();
    EXPECT_EQ(controller->menu(), nullptr);

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

#include "StatusItemControllerTest.moc"
