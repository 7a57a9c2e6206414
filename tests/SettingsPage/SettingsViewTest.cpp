#include "SettingsRig.h"

#include "MenuBar/StatusItem.h"
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
void type(QAccessibleInterface* control, std::initializer_list<Qt::Key> keys)
{
    auto* widget = qobject_cast<QWidget*>(control->object());
    widget->setFocus();
    for (Qt::Key key : keys)
        QTest::keyClick(widget, key);
}

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

    // Choosing a listed volume pins it, and the stale entry goes.
    type(picker, {Qt::Key_Home, Qt::Key_Down});
    EXPECT_EQ(stored("pinnedVolumeID").toString(), volumes[0].id);
    EXPECT_EQ(comboEntries(picker).size(), 3);
    EXPECT_EQ(picker->text(QAccessible::Value), "STICK");
    // The automatic entry removes the pin from the file.
    type(picker, {Qt::Key_Up});
    EXPECT_FALSE(isStored("pinnedVolumeID"));
    EXPECT_EQ(preferences->pinnedVolumeID(), std::nullopt);

    // With no volumes the automatic entry is all there is.
    remount({});
    EXPECT_EQ(comboEntries(picker), QStringList{"automatic"});
}

TEST_F(SettingsPage, LowSpacePickerAndGigabyteEditor)
{
    settings->setValue("lowSpaceThreshold", "percent:15");
    showPage();
    QAccessibleInterface* field = page().find("gigabytes", QAccessible::SpinBox);
    ASSERT_NE(field, nullptr);
    // 15 % is not offered: nothing selected, no editor.
    for (const char* label : {"5 %", "10 %", "20 %", "GB"})
        EXPECT_FALSE(AccessibleTree::checked(segment("low space", label))) << label;
    EXPECT_FALSE(AccessibleTree::shown(field));

    // "GB" starts from 50; the field takes a value when it is submitted, and below 1 means 1.
    ASSERT_TRUE(AccessibleTree::press(segment("low space", "GB")));
    EXPECT_EQ(stored("lowSpaceThreshold").toString(), "gigabytes:50");
    EXPECT_TRUE(AccessibleTree::shown(field));
    auto* spin = qobject_cast<QSpinBox*>(field->object());
    spin->setFocus();
    spin->selectAll();
    QTest::keyClicks(spin, "150");
    EXPECT_EQ(stored("lowSpaceThreshold").toString(), "gigabytes:50") << "stored before it was submitted";
    QTest::keyClick(spin, Qt::Key_Return);
    EXPECT_EQ(stored("lowSpaceThreshold").toString(), "gigabytes:150");
    spin->selectAll();
    QTest::keyClicks(spin, "0");
    QTest::keyClick(spin, Qt::Key_Return);
    EXPECT_EQ(stored("lowSpaceThreshold").toString(), "gigabytes:1");
    QTest::keyClick(spin, Qt::Key_Up);  // the stepper goes in tens
    EXPECT_EQ(stored("lowSpaceThreshold").toString(), "gigabytes:11");

    // A percentage hides the editor; "GB" again brings back the value the page holds, not 50.
    ASSERT_TRUE(AccessibleTree::press(segment("low space", "10 %")));
    EXPECT_EQ(stored("lowSpaceThreshold").toString(), "percent:10");
    EXPECT_TRUE(AccessibleTree::checked(segment("low space", "10 %")));
    EXPECT_FALSE(AccessibleTree::shown(field));
    ASSERT_TRUE(AccessibleTree::press(segment("low space", "GB")));
    EXPECT_EQ(stored("lowSpaceThreshold").toString(), "gigabytes:11");
}

TEST_F(SettingsPage, AStoredGigabyteThresholdIsLoadedOnShowingAndKeptAsItIs)
{
    settings->setValue("lowSpaceThreshold", "gigabytes:200");
    showPage();
    EXPECT_EQ(view->gigabytes(), 200);
    ASSERT_TRUE(AccessibleTree::press(segment("low space", "5 %")));
    ASSERT_TRUE(AccessibleTree::press(segment("low space", "GB")));
    EXPECT_EQ(stored("lowSpaceThreshold").toString(), "gigabytes:200");

    // Beyond the stepper's range: shown as stored, never cut down and written back.
    view->hide();
    preferences->setLowSpaceThreshold(LowSpaceThreshold::gigabytes(250000));
    view->show();
    settle();
    EXPECT_EQ(page().find("gigabytes", QAccessible::SpinBox)->text(QAccessible::Value), "250000");
    EXPECT_EQ(stored("lowSpaceThreshold").toString(), "gigabytes:250000");
}

TEST_F(SettingsPage, StyleAndUnitsWriteTheFileAndTheTrayImageFollows)
{
    showPage();
    ASSERT_TRUE(TestEnvironment::waitUntil([&] { return !trayPieces().isEmpty(); }, 5s));
    // The stick is below 10 %: the symbol carries the badge.
    EXPECT_EQ(trayPieces(), QList{MenuBarRenderer::Piece::glyph(true)});

    ASSERT_TRUE(AccessibleTree::press(segment("style", "space")));
    EXPECT_EQ(stored("menuBarStyle").toString(), "space");
    EXPECT_TRUE(AccessibleTree::checked(segment("style", "space")));
    EXPECT_FALSE(AccessibleTree::checked(segment("style", "icon")));
    settle();
    EXPECT_EQ(trayPieces(), QList{MenuBarRenderer::Piece::stacked("STICK!", "1.5G")});

    ASSERT_TRUE(AccessibleTree::press(segment("units", "GiB")));
    EXPECT_EQ(stored("units").toString(), "binary");
    settle();
    EXPECT_EQ(trayPieces(), QList{MenuBarRenderer::Piece::stacked("STICK!", "1.4G")});
}

TEST_F(SettingsPage, UncheckingEveryKindStoresAnEmptySetAndTheBadgeGoes)
{
    showPage();
    ASSERT_TRUE(TestEnvironment::waitUntil([&] { return trayPieces() == QList{MenuBarRenderer::Piece::glyph(true)}; }, 5s));
    QAccessibleInterface* network = page().find("network", QAccessible::CheckBox);
    EXPECT_FALSE(AccessibleTree::checked(network));
    ASSERT_TRUE(AccessibleTree::press(network));
    EXPECT_EQ(stored("volumesShown").toStringList(), (QStringList{"diskImage", "external", "internal", "network"}));
    for (const char* kind : {"external", "disk images", "internal", "network"})
        ASSERT_TRUE(AccessibleTree::press(page().find(kind, QAccessible::CheckBox))) << kind;
    EXPECT_TRUE(isStored("volumesShown"));
    EXPECT_TRUE(stored("volumesShown").toStringList().isEmpty());
    QSettings file(settings->fileName(), QSettings::IniFormat);
    EXPECT_TRUE(Preferences(file).volumesShown().isEmpty());
    // The low stick is no longer watched.
    settle();
    EXPECT_EQ(trayPieces(), QList{MenuBarRenderer::Piece::glyph(false)});
}

TEST_F(SettingsPage, NotificationSwitchesAskForPermissionAndTheWarningShowsOnlyWhenItMatters)
{
    showPage();
    ASSERT_TRUE(TestEnvironment::waitUntil([&] { return notifier->authorization() == Authorization::denied; }, 5s));
    QAccessibleInterface* warning = page().find(SettingsView::deniedText);
    QAccessibleInterface* open = page().find("open notification settings", QAccessible::Button);
    QAccessibleInterface* lowSpace = page().find("low space", QAccessible::CheckBox);
    QAccessibleInterface* transfer = page().find("transfer finished (1 GB or more)", QAccessible::CheckBox);
    EXPECT_FALSE(AccessibleTree::shown(warning)) << "denied, but nothing asks to notify";

    ASSERT_TRUE(AccessibleTree::press(lowSpace));
    settle();
    EXPECT_EQ(stored("notifyLowSpace").toString(), "true");
    EXPECT_EQ(server->requests, 0) << "a denied status is not asked again";
    EXPECT_TRUE(AccessibleTree::shown(warning));
    EXPECT_EQ(qobject_cast<QLabel*>(warning->object())->palette().color(QPalette::WindowText), QColor::fromRgba(PopoverTheme::orange));
    ASSERT_TRUE(AccessibleTree::shown(open) && AccessibleTree::press(open));
    EXPECT_TRUE(TestEnvironment::waitUntil([&] { return QFile::exists(dir.filePath("opened-notification-settings")); }, 5s));

    // Switching off asks nothing; with both off the warning goes.
    ASSERT_TRUE(AccessibleTree::press(transfer));
    ASSERT_TRUE(AccessibleTree::press(lowSpace));
    EXPECT_EQ(stored("notifyLowSpace").toString(), "false");
    EXPECT_TRUE(AccessibleTree::shown(warning));
    ASSERT_TRUE(AccessibleTree::press(transfer));
    EXPECT_EQ(stored("notifyTransferFinished").toString(), "false");
    EXPECT_FALSE(AccessibleTree::shown(warning));
}

TEST_F(SettingsPage, TurningANotificationOnAsksForPermissionWhileNotDetermined)
{
    server->status = Authorization::notDetermined;
    showPage();
    ASSERT_TRUE(AccessibleTree::press(page().find("transfer finished (1 GB or more)", QAccessible::CheckBox)));
    EXPECT_TRUE(TestEnvironment::waitUntil([&] { return notifier->authorization() == Authorization::authorized; }, 5s));
    EXPECT_EQ(server->requests, 1);
    EXPECT_FALSE(AccessibleTree::shown(page().find(SettingsView::deniedText)));
}

TEST_F(SettingsPage, AccentSwatchesAreSpokenAndMarkTheSelectedOne)
{
    showPage();
    ASSERT_TRUE(AccessibleTree::press(page().find("Magenta", QAccessible::CheckBox)));
    EXPECT_EQ(stored("accent").toString(), "magenta");
    for (const QString name : {"Phosphor Green", "Cyan", "Magenta", "Amber", "System"})
        EXPECT_EQ(AccessibleTree::checked(page().find(name, QAccessible::CheckBox)), name == "Magenta") << name.toStdString();
    // Section titles take the accent.
    auto* title = qobject_cast<QLabel*>(page().find("MENU BAR", QAccessible::StaticText)->object());
    EXPECT_EQ(title->palette().color(QPalette::WindowText), PopoverTheme::accentColor(Accent::magenta));
}

TEST_F(SettingsPage, LaunchAtLoginSnapsBackWithTheErrorWhenTheEntryCannotBeWritten)
{
    showPage();
    QAccessibleInterface* login = page().find("launch at login", QAccessible::CheckBox);
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
    QAccessibleInterface* error = page().find(*view->loginError(), QAccessible::StaticText);
    ASSERT_TRUE(AccessibleTree::shown(error));
    EXPECT_EQ(qobject_cast<QLabel*>(error->object())->palette().color(QPalette::WindowText), QColor::fromRgba(PopoverTheme::red));

    // The next change that works clears it.
    ASSERT_TRUE(QFile::remove(dir.filePath("autostart")));
    ASSERT_TRUE(AccessibleTree::press(login));
    EXPECT_TRUE(AccessibleTree::checked(login));
    EXPECT_FALSE(AccessibleTree::shown(error));
}

TEST_F(SettingsPage, CopyConfirmationLastsThreeSecondsAndTheUpdateControlsDriveTheUpdater)
{
    showPage();
    QAccessibleInterface* copy = page().find("copy diagnostics", QAccessible::Button);
    QAccessibleInterface* copied = page().find(SettingsView::copiedText, QAccessible::StaticText);
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
    QAccessibleInterface* autoCheck = page().find("check automatically (daily)", QAccessible::CheckBox);
    QAccessibleInterface* autoDownload = page().find("download automatically", QAccessible::CheckBox);
    ASSERT_TRUE(AccessibleTree::press(autoCheck));
    ASSERT_TRUE(AccessibleTree::press(autoDownload));
    QSettings updates(dir.filePath("updates.conf"), QSettings::IniFormat);
    EXPECT_EQ(updates.value("automaticallyChecksForUpdates").toString(), "false");
    EXPECT_EQ(updates.value("automaticallyDownloadsUpdates").toString(), "true");

    ASSERT_TRUE(AccessibleTree::press(page().find("check now", QAccessible::Button)));
    EXPECT_TRUE(TestEnvironment::waitUntil([&] { return messages.size() == 1; }, 5s));
}

TEST_F(SettingsPage, ShowingThePageReadsTheLoginItemAndTheNotificationStatusAgain)
{
    settings->setValue("notifyLowSpace", true);
    showPage();
    ASSERT_TRUE(TestEnvironment::waitUntil([&] { return notifier->authorization() == Authorization::denied; }, 5s));
    EXPECT_TRUE(AccessibleTree::shown(page().find(SettingsView::deniedText)));

    // Changed outside the page while it was away.
    view->hide();
    ASSERT_TRUE(QDir().mkpath(dir.filePath("autostart")));
    QFile entry(autostartPath());
    ASSERT_TRUE(entry.open(QIODevice::WriteOnly) && entry.write("[Desktop Entry]\nType=Application\nExec=mallowby\n") > 0);
    entry.close();
    server->status = Authorization::authorized;
    view->show();
    EXPECT_TRUE(AccessibleTree::checked(page().find("launch at login", QAccessible::CheckBox)));
    EXPECT_TRUE(TestEnvironment::waitUntil([&] { return !AccessibleTree::shown(page().find(SettingsView::deniedText)); }, 5s));
}

TEST_F(SettingsPage, EveryControlIsReachedByTabAndWorksFromTheKeyboard)
{
    showPage();
    QApplication::setActiveWindow(view.get());
    qobject_cast<QWidget*>(segment("style", "icon")->object())->setFocus();
    QStringList reached;
    QList<QWidget*> visited;
    for (int i = 0; i < 80 && QApplication::focusWidget(); ++i) {
        QWidget* focus = QApplication::focusWidget();
        if (visited.contains(focus))
            break;  // round again
        visited << focus;
        QAccessibleInterface* element = QAccessible::queryAccessibleInterface(focus);
        reached << (element->role() == QAccessible::ComboBox ? QStringLiteral("the volume pop-up") : element->text(QAccessible::Name));
        QTest::keyClick(focus, Qt::Key_Tab);
    }
    for (const char* control : {"icon", "both", "the volume pop-up", "activity during transfers", "activity trace",
                                "hide with no external drives", "square", "dark", "external", "disk images", "internal",
                                "network", "GB", "GiB", "5 %", "20 %", "low space", "transfer finished (1 GB or more)",
                                "Phosphor Green", "System", "launch at login", "copy diagnostics",
                                "check automatically (daily)", "download automatically", "check now"})
        EXPECT_TRUE(reached.contains(QString::fromUtf8(control))) << control << " not reached; reached: "
                                                                  << reached.join(", ").toStdString();

    // Return works a switch and a segment like Space does.
    QWidget* trace = qobject_cast<QWidget*>(page().find("activity trace", QAccessible::CheckBox)->object());
    trace->setFocus();
    QTest::keyClick(trace, Qt::Key_Return);
    EXPECT_TRUE(TestEnvironment::waitUntil([&] { return stored("activityTrace").toString() == "false"; }, 2s));
    QTest::keyClick(trace, Qt::Key_Space);
    EXPECT_EQ(stored("activityTrace").toString(), "true");
    QWidget* both = qobject_cast<QWidget*>(segment("style", "both")->object());
    both->setFocus();
    QTest::keyClick(both, Qt::Key_Return);
    EXPECT_TRUE(TestEnvironment::waitUntil([&] { return stored("menuBarStyle").toString() == "spaceActivity"; }, 2s));
}
