#include "TrayItem/TrayRig.h"

#include "LoginItem.h"
#include "Popover/Controls/PopoverTheme.h"
#include "Popover/SettingsPage/SettingsView.h"

#include "support/AccessibleTree.h"
#include "support/AppProcess.h"
#include "support/ScriptedNotificationServer.h"

#include <QApplication>
#include <QComboBox>
#include <QDir>
#include <QLabel>
#include <QSpinBox>
#include <QTest>

#include <gtest/gtest.h>

using namespace mallowby;
using namespace mallowby::test;
using namespace std::chrono_literals;

namespace {

using Authorization = NotificationServer::Authorization;
using Piece = MenuBarRenderer::Piece;

QStringList entries(QAccessibleInterface* combo)
{
    QStringList entries;
    for (auto* box = qobject_cast<QComboBox*>(combo->object()); entries.size() < box->count();)
        entries << box->itemText(int(entries.size()));
    return entries;
}

// Keys pressed on a control that has the keyboard focus; a field is given its text first.
void type(QAccessibleInterface* control, const QList<Qt::Key>& keys, const QString& text = {})
{
    auto* widget = qobject_cast<QWidget*>(control->object());
    widget->setFocus();
    if (auto* field = qobject_cast<QSpinBox*>(widget); field && !text.isEmpty()) {
        field->selectAll();
        QTest::keyClicks(field, text);
    }
    for (Qt::Key key : keys)
        QTest::keyClick(widget, key);
}

QColor textColour(QAccessibleInterface* label) { return qobject_cast<QLabel*>(label->object())->palette().color(QPalette::WindowText); }

// The settings page over the tray item's stack, the updater's settings and the autostart entry in the test's folder.
class SettingsPage : public TrayRig {
protected:
    // Starts the stack and shows the page, on other preferences when given.
    void showPage(Preferences* shown = nullptr)
    {
        if (!shown) {
            server->command = QStringList{"touch", dir.filePath("opened-notification-settings")};
            notificationServer = server;
            start(stickAndHome);
            notifier->start();
            updater->setMessagePresenter([this](const Updater::Message&) { ++messages; });
        }
        view = std::make_unique<SettingsView>(shown ? *shown : *preferences, *store, *notifier, *updater,
                                              LoginItem(autostart, "/usr/bin/mallowby"), [this] { ++copies; }, clock);
        view->resize(312, 700);
        view->show();
        settle();
    }
    // The value stored under `key`, read back from the file by a store of its own.
    QVariant stored(const QString& key) const { return QSettings(settings->fileName(), QSettings::IniFormat).value(key); }
    // A control by name (any name when empty), a check box unless told.
    QAccessibleInterface* control(const QString& name, QAccessible::Role role = QAccessible::CheckBox) const
    {
        return AccessibleTree::find(QAccessible::queryAccessibleInterface(view.get()), name, role);
    }
    // A choice of one of the page's pickers, or a switch when no picker is named.
    QAccessibleInterface* segment(const char* picker, const QString& label) const
    {
        return picker ? AccessibleTree::find(control(picker, QAccessible::Client), label) : control(label);
    }
    QList<Piece> trayPieces() const { return controller->lastRender() ? controller->lastRender()->layout.pieces : QList<Piece>{}; }

    std::shared_ptr<ScriptedNotificationServer> server = [] {
        auto server = std::make_shared<ScriptedNotificationServer>();
        server->answer = Authorization::authorized;  // a request is granted
        return server;
    }();
    const QString autostart = dir.filePath("autostart/mallowby.desktop");
    std::unique_ptr<SettingsView> view;
    int messages = 0, copies = 0;
};

} // namespace

// Each control, reached by Tab and worked by keys or accessibility, stores its setting; the app reads the file
// unchanged and a page built on it shows every choice.
TEST_F(SettingsPage, EveryControlChangesItsSettingAndTheChangesSurviveARestartOfTheApp)
{
    settings->setValue("pinnedVolumeID", "gone-away");
    showPage();
    QApplication::setActiveWindow(view.get());
    qobject_cast<QWidget*>(segment("style", "icon")->object())->setFocus();
    QList<QWidget*> visited;
    for (QWidget* focus; (focus = QApplication::focusWidget()) && !visited.contains(focus) && visited.size() < 80;) {
        visited << focus;
        QTest::keyClick(focus, Qt::Key_Tab);
    }
    QList<QWidget*> controls{view->findChild<QComboBox*>()};
    for (QAbstractButton* button : view->findChildren<QAbstractButton*>())
        controls << button;
    for (QWidget* shown : controls)
        EXPECT_TRUE(visited.contains(shown) || !shown->isVisibleTo(view.get()))
            << QAccessible::queryAccessibleInterface(shown)->text(QAccessible::Name).toStdString() << " not reached by Tab";
    EXPECT_GT(controls.size(), 30);

    // Switches are pressed once, each flipping its default; by a key when one is given.
    const QList<std::tuple<const char*, const char*, const char*, QVariant, std::optional<Qt::Key>>> rows{
        {"style", "both", "menuBarStyle", "spaceActivity", Qt::Key_Return},
        {"units", "GiB", "units", "binary", {}},
        {"low space", "GB", "lowSpaceThreshold", "gigabytes:50", {}},
        {"panel image", "label", "panelImage", "label", {}},
        {"panel ink", "light", "panelInk", "light", {}},
        {nullptr, "activity during transfers", "activityDuringTransfers", "false", Qt::Key_Space},
        {nullptr, "activity trace", "activityTrace", "false", Qt::Key_Return},
        {nullptr, "hide with no external drives", "hideWhenNoExternal", "true", {}},
        {nullptr, "disk images", "volumesShown", QStringList{"external", "internal"}, {}},
        {nullptr, "network", "volumesShown", QStringList{"external", "internal", "network"}, {}},
        {nullptr, "low space", "notifyLowSpace", "true", {}},
        {nullptr, "transfer finished (1 GB or more)", "notifyTransferFinished", "true", {}},
        {nullptr, "Amber", "accent", "amber", {}}};
    for (const auto& [picker, label, key, value, by] : rows) {
        if (by)
            type(segment(picker, label), {*by});
        else
            ASSERT_TRUE(AccessibleTree::press(segment(picker, label))) << label;
        EXPECT_TRUE(TestEnvironment::waitUntil([&] { return stored(key) == value; }, 5s)) << label;
    }
    EXPECT_FALSE(AccessibleTree::checked(control("Phosphor Green"))) << "accent swatches are one choice";

    // The volume picker names the automatic choice and the pin that is away; Home unpins, a volume pins.
    QAccessibleInterface* picker = control({}, QAccessible::ComboBox);
    const QList<Volume> volumes = store->volumes();
    ASSERT_TRUE(volumes.size() == 2 && volumes[0].id == volumeAt("/run/media/me/STICK")->id);
    EXPECT_EQ(entries(picker) << picker->text(QAccessible::Value),
              (QStringList{"automatic (STICK)", volumes[0].name, volumes[1].name, "not mounted", "not mounted"}));
    type(picker, {Qt::Key_Home});
    EXPECT_FALSE(stored("pinnedVolumeID").isValid());
    type(picker, {Qt::Key_Down});
    EXPECT_EQ(entries(picker) << stored("pinnedVolumeID").toString(), (QStringList{"automatic (STICK)", volumes[0].name, volumes[1].name, volumes[0].id}));
    EXPECT_TRUE(TestEnvironment::waitUntil([&] { return trayPieces() == QList{Piece::stacked("STICK!", "1.4G"), Piece::rates("R    0", "W    0")}; }, 5s));
    type(control("gigabytes", QAccessible::SpinBox), {Qt::Key_Return}, "200");
    EXPECT_EQ(stored("lowSpaceThreshold").toString(), "gigabytes:200");
    QList<bool> checked;
    for (const auto& [picker, label, key, value, by] : rows)
        checked << AccessibleTree::checked(segment(picker, label));

    QFile written(settings->fileName());
    ASSERT_TRUE(written.open(QIODevice::ReadOnly));
    const QByteArray file = written.readAll();
    AppProcess app({{"MALLOWBY_DIAGNOSTICS", "1"}}, file);
    ASSERT_TRUE(app.process().waitForFinished(20000)) << "the diagnostics mode did not end";
    EXPECT_EQ(app.waitForLine([](const QString& line) { return line.startsWith("Settings: "); }, 1s),
              "Settings: style spaceActivity, pinned chosen, activity during transfers off, trace off, "
              "units binary, low space gigabytes:200, shown external+network+internal, "
              "hide without external on, notify low space on, notify transfer finished on")
        << app.process().readAllStandardError().toStdString();
    QFile read(app.homePath("config/mallowby/mallowby.conf"));
    EXPECT_TRUE(read.open(QIODevice::ReadOnly) && read.readAll() == file) << "the app rewrote its settings";

    // A page on the file the app ran with shows every choice; section titles take the accent.
    QSettings appSettings(read.fileName(), QSettings::IniFormat);
    Preferences restarted(appSettings);
    showPage(&restarted);
    for (qsizetype i = 0; i < rows.size(); ++i)
        EXPECT_EQ(AccessibleTree::checked(segment(std::get<0>(rows[i]), std::get<1>(rows[i]))), checked[i]) << std::get<1>(rows[i]);
    EXPECT_EQ(QStringList({control({}, QAccessible::ComboBox)->text(QAccessible::Value), control("gigabytes", QAccessible::SpinBox)->text(QAccessible::Value)}),
              (QStringList{"STICK", "200"}));
    EXPECT_EQ(textColour(control("MENU BAR", QAccessible::StaticText)), PopoverTheme::accentColor(Accent::amber));
    // With no volumes: the automatic entry and the pin, away.
    remount({});
    EXPECT_EQ(entries(control({}, QAccessible::ComboBox)), (QStringList{"automatic", "not mounted"}));
    view.reset();  // before the preferences it reads
}

// The gigabyte field, the notification switches and their warning, launch at login and its error, the copy
// confirmation (3 s from the last click), the update controls; showing the page reads each again.
TEST_F(SettingsPage, EditorsSwitchesAndButtonsWithTheirEffects)
{
    settings->setValue("lowSpaceThreshold", "percent:15");
    showPage();
    QAccessibleInterface* field = control("gigabytes", QAccessible::SpinBox);
    for (const char* label : {"5 %", "10 %", "20 %", "GB"})
        EXPECT_FALSE(AccessibleTree::checked(segment("low space", label))) << label << ": 15 % is not offered";
    EXPECT_FALSE(AccessibleTree::shown(field));
    for (const auto& [name, choice, typed, keys, expected] : QList<std::tuple<const char*, const char*, QString, QList<Qt::Key>, QString>>{
             {"GB", "GB", {}, {}, "gigabytes:50"},
             {"typed, not submitted", nullptr, "150", {}, "gigabytes:50"},
             {"submitted", nullptr, "150", {Qt::Key_Return}, "gigabytes:150"},
             {"below 1", nullptr, "0", {Qt::Key_Return}, "gigabytes:1"},
             {"stepped", nullptr, {}, {Qt::Key_Up}, "gigabytes:11"},
             {"a percentage", "10 %", {}, {}, "percent:10"},
             {"GB again", "GB", {}, {}, "gigabytes:11"}}) {
        if (choice)
            ASSERT_TRUE(AccessibleTree::press(segment("low space", choice))) << name;
        else
            type(field, keys, typed);
        EXPECT_EQ(std::tuple(stored("lowSpaceThreshold").toString(), AccessibleTree::shown(field), !choice || AccessibleTree::checked(segment("low space", choice))),
                  std::tuple(expected, expected.startsWith("gigabytes"), true)) << name;
    }

    ASSERT_TRUE(TestEnvironment::waitUntil([&] { return notifier->authorization() == Authorization::denied; }, 5s));
    QAccessibleInterface *warning = control(SettingsView::deniedText, QAccessible::StaticText), *lowSpace = control("low space"),
                         *transfer = control("transfer finished (1 GB or more)");
    EXPECT_FALSE(AccessibleTree::shown(warning)) << "denied, but nothing asks to notify";
    for (const auto& [name, pressed, shown] : QList<std::tuple<const char*, QAccessibleInterface*, bool>>{
             {"low space on", lowSpace, true}, {"transfer on", transfer, true}, {"low space off", lowSpace, true},
             {"transfer off", transfer, false}, {"low space on again", lowSpace, true}}) {
        ASSERT_TRUE(AccessibleTree::press(pressed)) << name;
        EXPECT_EQ(AccessibleTree::shown(warning), shown) << name;
    }
    EXPECT_EQ(server->requests, 0) << "a denied status is not asked again";
    EXPECT_EQ(textColour(warning), QColor::fromRgba(PopoverTheme::orange));
    ASSERT_TRUE(AccessibleTree::press(control("open notification settings", QAccessible::Button)));
    EXPECT_TRUE(TestEnvironment::waitUntil([&] { return QFile::exists(dir.filePath("opened-notification-settings")); }, 5s));

    QAccessibleInterface* login = control("launch at login");
    const QString folder = dir.filePath("autostart");
    for (const auto& [name, blocked, entry] : QList<std::tuple<const char*, bool, bool>>{
             {"on", false, true}, {"off", false, false}, {"on, the folder a file", true, false}, {"on again", false, true}}) {
        // A file where the folder goes: no entry can be made there, even as root.
        ASSERT_TRUE(blocked ? QDir(folder).removeRecursively() && QFile(folder).open(QIODevice::WriteOnly)
                            : !QFileInfo(folder).isFile() || QFile::remove(folder));
        ASSERT_TRUE(AccessibleTree::press(login)) << name;
        EXPECT_EQ(std::tuple(QFile::exists(autostart), AccessibleTree::checked(login), view->loginError().has_value()), std::tuple(entry, entry, blocked)) << name;
        if (blocked) {
            EXPECT_EQ(textColour(control(*view->loginError(), QAccessible::StaticText)), QColor::fromRgba(PopoverTheme::red));
        }
    }

    QAccessibleInterface* copied = control(SettingsView::copiedText, QAccessible::StaticText);
    for (const auto& [name, click, shown, after] : QList<std::tuple<const char*, bool, bool, std::chrono::milliseconds>>{
             {"before", false, false, 0ms}, {"copied", true, true, 2s}, {"again", true, true, 2s}, {"2 s after the second", false, true, 1100ms},
             {"gone", false, false, 0ms}}) {
        ASSERT_TRUE(!click || AccessibleTree::press(control("copy diagnostics", QAccessible::Button))) << name;
        EXPECT_EQ(AccessibleTree::shown(copied), shown) << name;
        clock.advance(after);
    }
    EXPECT_EQ(copies, 2);
    ASSERT_TRUE(AccessibleTree::press(control("check automatically (daily)")));
    ASSERT_TRUE(AccessibleTree::press(control("download automatically")));
    QSettings updates(dir.filePath("updates.conf"), QSettings::IniFormat);
    EXPECT_EQ(QStringList({updates.value("automaticallyChecksForUpdates").toString(), updates.value("automaticallyDownloadsUpdates").toString()}),
              (QStringList{"false", "true"}));
    ASSERT_TRUE(AccessibleTree::press(control("check now", QAccessible::Button)));
    EXPECT_TRUE(TestEnvironment::waitUntil([&] { return messages == 1; }, 5s));

    // Changed while the page was away: a threshold beyond the stepper's range, the permission, the entry.
    view->hide();
    preferences->setLowSpaceThreshold(LowSpaceThreshold::gigabytes(250000));
    server->status = Authorization::notDetermined;
    ASSERT_TRUE(QFile::remove(autostart));
    view->show();
    ASSERT_TRUE(TestEnvironment::waitUntil([&] { return notifier->authorization() == Authorization::notDetermined; }, 5s));
    EXPECT_EQ(std::pair(field->text(QAccessible::Value), AccessibleTree::checked(login)), std::pair(QString("250000"), false));
    ASSERT_TRUE(AccessibleTree::press(transfer));
    EXPECT_TRUE(TestEnvironment::waitUntil([&] { return notifier->authorization() == Authorization::authorized; }, 5s));
    EXPECT_EQ(std::pair(server->requests, AccessibleTree::shown(warning)), std::pair(1, false));
    ASSERT_TRUE(AccessibleTree::press(segment("low space", "5 %")));
    ASSERT_TRUE(AccessibleTree::press(segment("low space", "GB")));
    EXPECT_EQ(stored("lowSpaceThreshold").toString(), "gigabytes:250000") << "cut down to the stepper's range";
}
