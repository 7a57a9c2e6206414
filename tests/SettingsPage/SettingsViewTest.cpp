#include "SettingsRig.h"

#include "Popover/Controls/PopoverTheme.h"

#include <QApplication>
#include <QComboBox>
#include <QDir>
#include <QFile>
#include <QLabel>
#include <QSpinBox>
#include <QTest>

#include <gtest/gtest.h>

using namespace mallowby;
using namespace mallowby::test;
using namespace std::chrono_literals;

namespace {

using Authorization = NotificationServer::Authorization;

QStringList comboEntries(QAccessibleInterface* combo)
{
    QStringList entries;
    if (auto* box = qobject_cast<QComboBox*>(combo ? combo->object() : nullptr))
        for (int i = 0; i < box->count(); ++i)
            entries << box->itemText(i);
    return entries;
}

// Keys pressed on a control that has the keyboard focus.
void type(QAccessibleInterface* control, std::initializer_list<Qt::Key> keys, const QString& text = {})
{
    auto* widget = qobject_cast<QWidget*>(control->object());
    widget->setFocus();
    if (auto* spin = qobject_cast<QSpinBox*>(widget); spin && !text.isEmpty()) {
        spin->selectAll();
        QTest::keyClicks(spin, text);
    }
    for (Qt::Key key : keys)
        QTest::keyClick(widget, key);
}

QColor textColour(QAccessibleInterface* label) { return qobject_cast<QLabel*>(label->object())->palette().color(QPalette::WindowText); }

} // namespace

TEST_F(SettingsPage, TheVolumePickerNamesTheAutomaticChoiceAndAPinThatIsAway)
{
    settings->setValue("pinnedVolumeID", "gone-away");
    showPage();
    QAccessibleInterface* picker = page().first(QAccessible::ComboBox);
    ASSERT_NE(picker, nullptr);
    const QList<Volume> volumes = store->volumes();
    ASSERT_EQ(volumes.size(), 2);
    ASSERT_EQ(volumes[0].id, volumeAt("/run/media/me/STICK")->id);
    // The automatic entry names what would be chosen without the pin; the pin is "not mounted".
    EXPECT_EQ(comboEntries(picker), (QStringList{"automatic (STICK)", volumes[0].name, volumes[1].name, "not mounted"}));
    EXPECT_EQ(picker->text(QAccessible::Value), "not mounted");
    // Choosing a listed volume pins it, and the stale entry goes; the automatic entry removes the pin.
    type(picker, {Qt::Key_Home, Qt::Key_Down});
    EXPECT_EQ(stored("pinnedVolumeID").toString(), volumes[0].id);
    EXPECT_EQ(comboEntries(picker).size(), 3);
    EXPECT_EQ(picker->text(QAccessible::Value), "STICK");
    type(picker, {Qt::Key_Up});
    EXPECT_FALSE(stored("pinnedVolumeID").isValid());
    EXPECT_EQ(preferences->pinnedVolumeID(), std::nullopt);
    // With no volumes the automatic entry is all there is.
    remount({});
    EXPECT_EQ(comboEntries(picker), QStringList{"automatic"});
}

TEST_F(SettingsPage, LowSpacePickerAndGigabyteEditor)
{
    settings->setValue("lowSpaceThreshold", "percent:15");
    showPage();
    QAccessibleInterface* field = control("gigabytes", QAccessible::SpinBox);
    ASSERT_NE(field, nullptr);
    // 15 % is not offered: nothing selected, no editor.
    for (const char* label : {"5 %", "10 %", "20 %", "GB"})
        EXPECT_FALSE(AccessibleTree::checked(segment("low space", label))) << label;
    EXPECT_FALSE(AccessibleTree::shown(field));
    // "GB" starts from 50; the field takes a value when it is submitted, below 1 means 1, and the
    // stepper goes in tens.
    ASSERT_TRUE(AccessibleTree::press(segment("low space", "GB")));
    EXPECT_EQ(stored("lowSpaceThreshold").toString(), "gigabytes:50");
    EXPECT_TRUE(AccessibleTree::shown(field));
    type(field, {}, "150");
    EXPECT_EQ(stored("lowSpaceThreshold").toString(), "gigabytes:50") << "stored before it was submitted";
    for (const auto& [text, key, expected] : {std::tuple{"150", Qt::Key_Return, "gigabytes:150"}, {"0", Qt::Key_Return, "gigabytes:1"},
                                              {"", Qt::Key_Up, "gigabytes:11"}}) {
        type(field, {key}, text);
        EXPECT_EQ(stored("lowSpaceThreshold").toString(), expected);
    }
    // A percentage hides the editor; "GB" again brings back the value the page holds, not 50.
    ASSERT_TRUE(AccessibleTree::press(segment("low space", "10 %")));
    EXPECT_EQ(stored("lowSpaceThreshold").toString(), "percent:10");
    EXPECT_TRUE(AccessibleTree::checked(segment("low space", "10 %")));
    EXPECT_FALSE(AccessibleTree::shown(field));
    ASSERT_TRUE(AccessibleTree::press(segment("low space", "GB")));
    EXPECT_EQ(stored("lowSpaceThreshold").toString(), "gigabytes:11");

    // A stored value beyond the stepper's range is shown as stored, never cut down and written back.
    view->hide();
    preferences->setLowSpaceThreshold(LowSpaceThreshold::gigabytes(250000));
    view->show();
    settle();
    EXPECT_EQ(field->text(QAccessible::Value), "250000");
    EXPECT_EQ(stored("lowSpaceThreshold").toString(), "gigabytes:250000");
    ASSERT_TRUE(AccessibleTree::press(segment("low space", "5 %")));
    ASSERT_TRUE(AccessibleTree::press(segment("low space", "GB")));
    EXPECT_EQ(stored("lowSpaceThreshold").toString(), "gigabytes:250000");
}

// The tray image follows the style, the units and the kinds of volume watched (an empty set is
// stored as such, not as the default).
TEST_F(SettingsPage, TheTrayImageFollowsStyleUnitsAndWatchedKinds)
{
    showPage();
    // The stick is below 10 %: the symbol carries the badge.
    ASSERT_TRUE(TestEnvironment::waitUntil([&] { return trayPieces() == QList{MenuBarRenderer::Piece::glyph(true)}; }, 5s));
    ASSERT_TRUE(AccessibleTree::press(segment("style", "space")));
    EXPECT_FALSE(AccessibleTree::checked(segment("style", "icon")));
    settle();
    EXPECT_EQ(trayPieces(), QList{MenuBarRenderer::Piece::stacked("STICK!", "1.5G")});
    ASSERT_TRUE(AccessibleTree::press(segment("units", "GiB")));
    settle();
    EXPECT_EQ(trayPieces(), QList{MenuBarRenderer::Piece::stacked("STICK!", "1.4G")});

    ASSERT_TRUE(AccessibleTree::press(segment("style", "icon")));
    for (const char* kind : {"external", "disk images", "internal"})
        ASSERT_TRUE(AccessibleTree::press(control(kind))) << kind;
    EXPECT_TRUE(stored("volumesShown").toStringList().isEmpty());
    QSettings file(settings->fileName(), QSettings::IniFormat);
    EXPECT_TRUE(Preferences(file).volumesShown().isEmpty());
    settle();
    EXPECT_EQ(trayPieces(), QList{MenuBarRenderer::Piece::glyph(false)}) << "the low stick is still watched";
}

TEST_F(SettingsPage, NotificationSwitchesAskForPermissionAndTheWarningShowsOnlyWhenItMatters)
{
    showPage();
    ASSERT_TRUE(TestEnvironment::waitUntil([&] { return notifier->authorization() == Authorization::denied; }, 5s));
    QAccessibleInterface* warning = page().find(SettingsView::deniedText);
    QAccessibleInterface* open = control("open notification settings", QAccessible::Button);
    QAccessibleInterface *lowSpace = control("low space"), *transfer = control("transfer finished (1 GB or more)");
    EXPECT_FALSE(AccessibleTree::shown(warning)) << "denied, but nothing asks to notify";

    ASSERT_TRUE(AccessibleTree::press(lowSpace));
    settle();
    EXPECT_EQ(stored("notifyLowSpace").toString(), "true");
    EXPECT_EQ(server->requests, 0) << "a denied status is not asked again";
    EXPECT_TRUE(AccessibleTree::shown(warning));
    EXPECT_EQ(textColour(warning), QColor::fromRgba(PopoverTheme::orange));
    ASSERT_TRUE(AccessibleTree::shown(open) && AccessibleTree::press(open));
    EXPECT_TRUE(TestEnvironment::waitUntil([&] { return QFile::exists(dir.filePath("opened-notification-settings")); }, 5s));

    // Switching off asks nothing; with both off the warning goes.
    ASSERT_TRUE(AccessibleTree::press(transfer));
    ASSERT_TRUE(AccessibleTree::press(lowSpace));
    EXPECT_EQ(stored("notifyLowSpace").toString(), "false");
    EXPECT_TRUE(AccessibleTree::shown(warning));
    ASSERT_TRUE(AccessibleTree::press(transfer));
    EXPECT_FALSE(AccessibleTree::shown(warning));

    // Showing the page reads the status again: while not determined, turning a switch on asks,
    // and an authorised answer takes the warning away.
    view->hide();
    server->status = Authorization::notDetermined;
    view->show();
    ASSERT_TRUE(TestEnvironment::waitUntil([&] { return notifier->authorization() == Authorization::notDetermined; }, 5s));
    ASSERT_TRUE(AccessibleTree::press(transfer));
    EXPECT_TRUE(TestEnvironment::waitUntil([&] { return notifier->authorization() == Authorization::authorized; }, 5s));
    EXPECT_EQ(server->requests, 1);
    EXPECT_FALSE(AccessibleTree::shown(page().find(SettingsView::deniedText)));
}

TEST_F(SettingsPage, LaunchAtLoginSnapsBackWithTheErrorWhenTheEntryCannotBeWrittenAndIsReadAgainOnShowing)
{
    showPage();
    QAccessibleInterface* login = control("launch at login");
    ASSERT_TRUE(AccessibleTree::press(login));
    EXPECT_TRUE(QFile::exists(autostartPath()));
    EXPECT_TRUE(AccessibleTree::checked(login));
    ASSERT_TRUE(AccessibleTree::press(login));
    EXPECT_FALSE(QFile::exists(autostartPath()));

    // The autostart folder is a file: no entry can be made there, even as root.
    ASSERT_TRUE(QDir(dir.filePath("autostart")).removeRecursively());
    ASSERT_TRUE(QFile(dir.filePath("autostart")).open(QIODevice::WriteOnly));
    ASSERT_TRUE(AccessibleTree::press(login));
    EXPECT_FALSE(AccessibleTree::checked(login));
    ASSERT_TRUE(view->loginError().has_value() && !view->loginError()->isEmpty());
    QAccessibleInterface* error = control(*view->loginError(), QAccessible::StaticText);
    ASSERT_TRUE(AccessibleTree::shown(error));
    EXPECT_EQ(textColour(error), QColor::fromRgba(PopoverTheme::red));
    // The next change that works clears it.
    ASSERT_TRUE(QFile::remove(dir.filePath("autostart")));
    ASSERT_TRUE(AccessibleTree::press(login));
    EXPECT_TRUE(AccessibleTree::checked(login));
    EXPECT_FALSE(AccessibleTree::shown(error));
    // Showing the page reads the entry again: removed while the page was away.
    view->hide();
    ASSERT_TRUE(QFile::remove(autostartPath()));
    view->show();
    EXPECT_FALSE(AccessibleTree::checked(login));
}

TEST_F(SettingsPage, CopyConfirmationLastsThreeSecondsAndTheUpdateControlsDriveTheUpdater)
{
    showPage();
    QAccessibleInterface* copy = control("copy diagnostics", QAccessible::Button);
    QAccessibleInterface* copied = control(SettingsView::copiedText, QAccessible::StaticText);
    EXPECT_FALSE(AccessibleTree::shown(copied));
    ASSERT_TRUE(AccessibleTree::press(copy));
    EXPECT_TRUE(AccessibleTree::shown(copied));
    clock.advance(2s);
    ASSERT_TRUE(AccessibleTree::press(copy));
    EXPECT_EQ(copies, 2);
    clock.advance(2s);
    EXPECT_TRUE(AccessibleTree::shown(copied)) << "4 s after the first click, 2 s after the second";
    clock.advance(1100ms);
    EXPECT_FALSE(AccessibleTree::shown(copied));

    // The update switches write the updater's settings; "check now" asks the updater.
    ASSERT_TRUE(AccessibleTree::press(control("check automatically (daily)")));
    ASSERT_TRUE(AccessibleTree::press(control("download automatically")));
    QSettings updates(dir.filePath("updates.conf"), QSettings::IniFormat);
    EXPECT_EQ(updates.value("automaticallyChecksForUpdates").toString(), "false");
    EXPECT_EQ(updates.value("automaticallyDownloadsUpdates").toString(), "true");
    ASSERT_TRUE(AccessibleTree::press(control("check now", QAccessible::Button)));
    EXPECT_TRUE(TestEnvironment::waitUntil([&] { return messages.size() == 1; }, 5s));
}

TEST_F(SettingsPage, EveryControlIsReachedByTabAndWorksFromTheKeyboard)
{
    showPage();
    QApplication::setActiveWindow(view.get());
    qobject_cast<QWidget*>(segment("style", "icon")->object())->setFocus();
    QStringList reached;
    QList<QWidget*> visited;
    for (QWidget* focus; (focus = QApplication::focusWidget()) && !visited.contains(focus) && visited.size() < 80;) {
        visited << focus;
        QAccessibleInterface* element = QAccessible::queryAccessibleInterface(focus);
        reached << (element->role() == QAccessible::ComboBox ? "the volume pop-up" : element->text(QAccessible::Name));
        QTest::keyClick(focus, Qt::Key_Tab);
    }
    for (const char* control : {"icon", "both", "the volume pop-up", "activity during transfers", "activity trace",
                                "hide with no external drives", "square", "dark", "external", "disk images", "internal",
                                "network", "GB", "GiB", "5 %", "20 %", "low space", "transfer finished (1 GB or more)",
                                "Phosphor Green", "System", "launch at login", "copy diagnostics",
                                "check automatically (daily)", "download automatically", "check now"})
        EXPECT_TRUE(reached.contains(QString::fromUtf8(control))) << control << " not reached; reached: " << reached.join(", ").toStdString();

    // Return works a switch and a segment like Space does.
    type(control("activity trace"), {Qt::Key_Return});
    EXPECT_TRUE(TestEnvironment::waitUntil([&] { return stored("activityTrace").toString() == "false"; }, 5s));
    type(control("activity trace"), {Qt::Key_Space});
    EXPECT_EQ(stored("activityTrace").toString(), "true");
    type(segment("style", "both"), {Qt::Key_Return});
    EXPECT_TRUE(TestEnvironment::waitUntil([&] { return stored("menuBarStyle").toString() == "spaceActivity"; }, 5s));
}
