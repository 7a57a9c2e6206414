#include "SettingsRig.h"

#include "MenuBar/StatusItem.h"
#include "Popover/PopoverTheme.h"

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

QAccessibleInterface* segment(const SettingsRig& rig, const QString& picker, const QString& label)
{
    return AccessibleTree::findIn(rig.page().find(picker, QAccessible::Client), label);
}

QList<MenuBarRenderer::Piece> trayPieces(const SettingsRig& rig)
{
    return rig.controller->lastRender() ? rig.controller->lastRender()->layout.pieces : QList<MenuBarRenderer::Piece>{};
}

} // namespace

TEST(SettingsPage, TheVolumePickerNamesTheAutomaticChoiceAndAPinThatIsAway)
{
    SettingsRig rig;
    rig.settings->setValue("pinnedVolumeID", "gone-away");
    ASSERT_TRUE(rig.start()) << rig.tree.error().toStdString();
    QAccessibleInterface* picker = rig.page().first(QAccessible::ComboBox);
    ASSERT_NE(picker, nullptr);
    const QString stick = rig.volumeID("/run/media/me/STICK");
    const QList<Volume> volumes = rig.store->volumes();
    ASSERT_EQ(volumes.size(), 2);
    // The automatic entry names what would be chosen without the pin; the pin is "not mounted".
    EXPECT_EQ(comboEntries(picker), (QStringList{"automatic (STICK)", volumes[0].name, volumes[1].name, "not mounted"}));
    EXPECT_EQ(picker->text(QAccessible::Value), "not mounted");

    // Choosing a listed volume pins it, and the stale entry goes.
    type(picker, {Qt::Key_Home, Qt::Key_Down});
    EXPECT_EQ(rig.stored("pinnedVolumeID").toString(), volumes[0].id);
    EXPECT_EQ(volumes[0].id, stick);
    EXPECT_EQ(comboEntries(picker).size(), 3);
    EXPECT_EQ(picker->text(QAccessible::Value), "STICK");
    // The automatic entry removes the pin from the file.
    type(picker, {Qt::Key_Up});
    EXPECT_FALSE(rig.isStored("pinnedVolumeID"));
    EXPECT_EQ(rig.preferences->pinnedVolumeID(), std::nullopt);

    SettingsRig empty;
    ASSERT_TRUE(empty.start(false));
    EXPECT_EQ(comboEntries(empty.page().first(QAccessible::ComboBox)), QStringList{"automatic"});
}

TEST(SettingsPage, LowSpacePickerAndGigabyteEditor)
{
    SettingsRig rig;
    rig.settings->setValue("lowSpaceThreshold", "percent:15");
    ASSERT_TRUE(rig.start()) << rig.tree.error().toStdString();
    QAccessibleInterface* field = rig.page().find("gigabytes", QAccessible::SpinBox);
    ASSERT_NE(field, nullptr);
    // 15 % is not offered: nothing selected, no editor.
    for (const char* label : {"5 %", "10 %", "20 %", "GB"}) {
        ASSERT_NE(segment(rig, "low space", label), nullptr) << label;
        EXPECT_FALSE(AccessibleTree::checked(segment(rig, "low space", label))) << label;
    }
    EXPECT_FALSE(AccessibleTree::shown(field));

    // "GB" starts from 50; the field takes a value when it is submitted, and below 1 means 1.
    ASSERT_TRUE(AccessibleTree::press(segment(rig, "low space", "GB")));
    EXPECT_EQ(rig.stored("lowSpaceThreshold").toString(), "gigabytes:50");
    EXPECT_TRUE(AccessibleTree::shown(field));
    auto* spin = qobject_cast<QSpinBox*>(field->object());
    spin->setFocus();
    spin->selectAll();
    QTest::keyClicks(spin, "150");
    EXPECT_EQ(rig.stored("lowSpaceThreshold").toString(), "gigabytes:50") << "stored before it was submitted";
    QTest::keyClick(spin, Qt::Key_Return);
    EXPECT_EQ(rig.stored("lowSpaceThreshold").toString(), "gigabytes:150");
    spin->selectAll();
    QTest::keyClicks(spin, "0");
    QTest::keyClick(spin, Qt::Key_Return);
    EXPECT_EQ(rig.stored("lowSpaceThreshold").toString(), "gigabytes:1");
    // The stepper goes in tens, from 1 to 100000.
    ASSERT_NE(field->valueInterface(), nullptr);
    EXPECT_EQ(field->valueInterface()->minimumValue().toInt(), 1);
    EXPECT_EQ(field->valueInterface()->maximumValue().toInt(), 100000);
    QTest::keyClick(spin, Qt::Key_Up);
    EXPECT_EQ(rig.stored("lowSpaceThreshold").toString(), "gigabytes:11");

    // A percentage hides the editor; "GB" again brings back the value the page holds, not 50.
    ASSERT_TRUE(AccessibleTree::press(segment(rig, "low space", "10 %")));
    EXPECT_EQ(rig.stored("lowSpaceThreshold").toString(), "percent:10");
    EXPECT_TRUE(AccessibleTree::checked(segment(rig, "low space", "10 %")));
    EXPECT_FALSE(AccessibleTree::shown(field));
    ASSERT_TRUE(AccessibleTree::press(segment(rig, "low space", "GB")));
    EXPECT_EQ(rig.stored("lowSpaceThreshold").toString(), "gigabytes:11");
}

TEST(SettingsPage, AStoredGigabyteThresholdIsLoadedOnShowingAndKeptAsItIs)
{
    SettingsRig rig;
    rig.settings->setValue("lowSpaceThreshold", "gigabytes:200");
    ASSERT_TRUE(rig.start()) << rig.tree.error().toStdString();
    EXPECT_EQ(rig.view->gigabytes(), 200);
    ASSERT_TRUE(AccessibleTree::press(segment(rig, "low space", "5 %")));
    ASSERT_TRUE(AccessibleTree::press(segment(rig, "low space", "GB")));
    EXPECT_EQ(rig.stored("lowSpaceThreshold").toString(), "gigabytes:200");

    // Beyond the stepper's range: shown as stored, never cut down and written back.
    rig.view->hide();
    rig.preferences->setLowSpaceThreshold(LowSpaceThreshold::gigabytes(250000));
    rig.view->show();
    rig.settle();
    EXPECT_EQ(rig.page().find("gigabytes", QAccessible::SpinBox)->text(QAccessible::Value), "250000");
    EXPECT_EQ(rig.stored("lowSpaceThreshold").toString(), "gigabytes:250000");
}

TEST(SettingsPage, StyleAndUnitsWriteTheFileAndTheTrayImageFollows)
{
    SettingsRig rig;
    ASSERT_TRUE(rig.start()) << rig.tree.error().toStdString();
    ASSERT_TRUE(TestEnvironment::waitUntil([&] { return !trayPieces(rig).isEmpty(); }, 5s));
    // The stick is below 10 %: the symbol carries the badge.
    EXPECT_EQ(trayPieces(rig), QList{MenuBarRenderer::Piece::glyph(true)});

    ASSERT_TRUE(AccessibleTree::press(segment(rig, "style", "space")));
    EXPECT_EQ(rig.stored("menuBarStyle").toString(), "space");
    EXPECT_TRUE(AccessibleTree::checked(segment(rig, "style", "space")));
    EXPECT_FALSE(AccessibleTree::checked(segment(rig, "style", "icon")));
    rig.settle();
    EXPECT_EQ(trayPieces(rig), QList{MenuBarRenderer::Piece::stacked("STICK!", "1.5G")});

    ASSERT_TRUE(AccessibleTree::press(segment(rig, "units", "GiB")));
    EXPECT_EQ(rig.stored("units").toString(), "binary");
    rig.settle();
    EXPECT_EQ(trayPieces(rig), QList{MenuBarRenderer::Piece::stacked("STICK!", "1.4G")});

    // Hidden without external drives: not now, one is attached.
    ASSERT_TRUE(AccessibleTree::press(rig.page().find("hide with no external drives", QAccessible::CheckBox)));
    rig.settle();
    EXPECT_TRUE(rig.controller->statusItem().isVisible());
}

TEST(SettingsPage, UncheckingEveryKindStoresAnEmptySetAndTheBadgeGoes)
{
    SettingsRig rig;
    ASSERT_TRUE(rig.start()) << rig.tree.error().toStdString();
    ASSERT_TRUE(TestEnvironment::waitUntil([&] { return trayPieces(rig) == QList{MenuBarRenderer::Piece::glyph(true)}; }, 5s));
    QAccessibleInterface* network = rig.page().find("network", QAccessible::CheckBox);
    EXPECT_FALSE(AccessibleTree::checked(network));
    ASSERT_TRUE(AccessibleTree::press(network));
    EXPECT_EQ(rig.stored("volumesShown").toStringList(), (QStringList{"diskImage", "external", "internal", "network"}));
    for (const char* kind : {"external", "disk images", "internal", "network"})
        ASSERT_TRUE(AccessibleTree::press(rig.page().find(kind, QAccessible::CheckBox))) << kind;
    EXPECT_TRUE(rig.isStored("volumesShown"));
    EXPECT_TRUE(rig.stored("volumesShown").toStringList().isEmpty());
    QSettings file(rig.settingsPath(), QSettings::IniFormat);
    EXPECT_TRUE(Preferences(file).volumesShown().isEmpty());
    // The low stick is no longer watched.
    rig.settle();
    EXPECT_EQ(trayPieces(rig), QList{MenuBarRenderer::Piece::glyph(false)});
}

TEST(SettingsPage, NotificationSwitchesAskForPermissionAndTheWarningShowsOnlyWhenItMatters)
{
    SettingsRig rig;
    ASSERT_TRUE(rig.start()) << rig.tree.error().toStdString();
    ASSERT_TRUE(TestEnvironment::waitUntil([&] { return rig.notifier->authorization() == Authorization::denied; }, 5s));
    QAccessibleInterface* warning = rig.page().find(SettingsView::deniedText);
    QAccessibleInterface* open = rig.page().find("open notification settings", QAccessible::Button);
    QAccessibleInterface* lowSpace = rig.page().find("low space", QAccessible::CheckBox);
    QAccessibleInterface* transfer = rig.page().find("transfer finished (1 GB or more)", QAccessible::CheckBox);
    ASSERT_TRUE(warning && open && lowSpace && transfer);
    // Denied, but nothing asks to notify.
    EXPECT_FALSE(AccessibleTree::shown(warning));

    ASSERT_TRUE(AccessibleTree::press(lowSpace));
    rig.settle();
    EXPECT_EQ(rig.stored("notifyLowSpace").toString(), "true");
    EXPECT_EQ(rig.server->requests, 0) << "a denied status is not asked again";
    EXPECT_TRUE(AccessibleTree::shown(warning));
    EXPECT_EQ(qobject_cast<QLabel*>(warning->object())->palette().color(QPalette::WindowText), QColor::fromRgba(PopoverTheme::orange));
    ASSERT_TRUE(AccessibleTree::shown(open));
    ASSERT_TRUE(AccessibleTree::press(open));
    EXPECT_TRUE(TestEnvironment::waitUntil([&] { return QFile::exists(rig.config + "/opened-notification-settings"); }, 5s));

    // Switching off asks nothing; with both off the warning goes.
    ASSERT_TRUE(AccessibleTree::press(transfer));
    ASSERT_TRUE(AccessibleTree::press(lowSpace));
    EXPECT_EQ(rig.stored("notifyLowSpace").toString(), "false");
    EXPECT_TRUE(AccessibleTree::shown(warning));
    ASSERT_TRUE(AccessibleTree::press(transfer));
    EXPECT_EQ(rig.stored("notifyTransferFinished").toString(), "false");
    EXPECT_FALSE(AccessibleTree::shown(warning));

    // Not determined yet: turning a switch on asks for permission, and the answer clears the warning.
    SettingsRig fresh;
    fresh.server->status = Authorization::notDetermined;
    ASSERT_TRUE(fresh.start()) << fresh.tree.error().toStdString();
    fresh.server->status = Authorization::authorized;
    ASSERT_TRUE(AccessibleTree::press(fresh.page().find("transfer finished (1 GB or more)", QAccessible::CheckBox)));
    EXPECT_TRUE(TestEnvironment::waitUntil([&] { return fresh.notifier->authorization() == Authorization::authorized; }, 5s));
    EXPECT_FALSE(AccessibleTree::shown(fresh.page().find(SettingsView::deniedText)));
}

TEST(SettingsPage, AccentSwatchesAreSpokenAndMarkTheSelectedOne)
{
    SettingsRig rig;
    ASSERT_TRUE(rig.start()) << rig.tree.error().toStdString();
    const QStringList names{"Phosphor Green", "Cyan", "Magenta", "Amber", "System"};
    for (const QString& name : names)
        EXPECT_EQ(AccessibleTree::checked(rig.page().find(name, QAccessible::CheckBox)), name == "Phosphor Green") << name.toStdString();
    ASSERT_TRUE(AccessibleTree::press(rig.page().find("Magenta", QAccessible::CheckBox)));
    EXPECT_EQ(rig.stored("accent").toString(), "magenta");
    for (const QString& name : names)
        EXPECT_EQ(AccessibleTree::checked(rig.page().find(name, QAccessible::CheckBox)), name == "Magenta") << name.toStdString();
    // Section titles take the accent.
    auto* title = qobject_cast<QLabel*>(rig.page().find("MENU BAR", QAccessible::StaticText)->object());
    EXPECT_EQ(title->palette().color(QPalette::WindowText), PopoverTheme::accentColor(Accent::magenta));
}

TEST(SettingsPage, LaunchAtLoginSnapsBackWithTheErrorWhenTheEntryCannotBeWritten)
{
    SettingsRig rig;
    ASSERT_TRUE(rig.start()) << rig.tree.error().toStdString();
    QAccessibleInterface* login = rig.page().find("launch at login", QAccessible::CheckBox);
    ASSERT_NE(login, nullptr);
    EXPECT_FALSE(AccessibleTree::checked(login));
    ASSERT_TRUE(AccessibleTree::press(login));
    EXPECT_TRUE(QFile::exists(rig.autostartPath()));
    EXPECT_TRUE(AccessibleTree::checked(login));
    ASSERT_TRUE(AccessibleTree::press(login));
    EXPECT_FALSE(QFile::exists(rig.autostartPath()));

    // The autostart folder is a file: no entry can be made there, even as root.
    ASSERT_TRUE(QDir(rig.config + "/autostart").removeRecursively());
    QFile blocker(rig.config + "/autostart");
    ASSERT_TRUE(blocker.open(QIODevice::WriteOnly));
    blocker.close();
    ASSERT_TRUE(QDir(rig.config).exists("autostart"));
    ASSERT_TRUE(AccessibleTree::press(login));
    EXPECT_FALSE(AccessibleTree::checked(login));
    ASSERT_TRUE(rig.view->loginError().has_value());
    QAccessibleInterface* error = rig.page().find(*rig.view->loginError(), QAccessible::StaticText);
    ASSERT_NE(error, nullptr);
    EXPECT_FALSE(rig.view->loginError()->isEmpty());
    EXPECT_TRUE(AccessibleTree::shown(error));
    EXPECT_EQ(qobject_cast<QLabel*>(error->object())->palette().color(QPalette::WindowText), QColor::fromRgba(PopoverTheme::red));

    // The next change that works clears it.
    ASSERT_TRUE(QFile::remove(rig.config + "/autostart"));
    ASSERT_TRUE(AccessibleTree::press(login));
    EXPECT_TRUE(AccessibleTree::checked(login));
    EXPECT_FALSE(AccessibleTree::shown(error));
}

TEST(SettingsPage, CopyConfirmationLastsThreeSecondsFromTheLatestClick)
{
    SettingsRig rig;
    ASSERT_TRUE(rig.start()) << rig.tree.error().toStdString();
    QAccessibleInterface* copy = rig.page().find("copy diagnostics", QAccessible::Button);
    QAccessibleInterface* copied = rig.page().find(SettingsView::copiedText, QAccessible::StaticText);
    ASSERT_TRUE(copy && copied);
    EXPECT_FALSE(AccessibleTree::shown(copied));
    ASSERT_TRUE(AccessibleTree::press(copy));
    EXPECT_EQ(rig.copies, 1);
    EXPECT_TRUE(AccessibleTree::shown(copied));
    rig.clock.advance(2s);
    ASSERT_TRUE(AccessibleTree::press(copy));
    EXPECT_EQ(rig.copies, 2);
    rig.clock.advance(2s);
    EXPECT_TRUE(AccessibleTree::shown(copied)) << "4 s after the first click, 2 s after the second";
    rig.clock.advance(1100ms);
    EXPECT_FALSE(AccessibleTree::shown(copied));
}

TEST(SettingsPage, UpdateSwitchesAndCheckNowDriveTheUpdater)
{
    SettingsRig rig;
    ASSERT_TRUE(rig.start()) << rig.tree.error().toStdString();
    QAccessibleInterface* autoCheck = rig.page().find("check automatically (daily)", QAccessible::CheckBox);
    QAccessibleInterface* autoDownload = rig.page().find("download automatically", QAccessible::CheckBox);
    ASSERT_TRUE(autoCheck && autoDownload);
    EXPECT_TRUE(AccessibleTree::checked(autoCheck));
    EXPECT_FALSE(AccessibleTree::checked(autoDownload));
    ASSERT_TRUE(AccessibleTree::press(autoCheck));
    ASSERT_TRUE(AccessibleTree::press(autoDownload));
    QSettings updates(rig.config + "/mallowby/updates.conf", QSettings::IniFormat);
    EXPECT_EQ(updates.value("automaticallyChecksForUpdates").toString(), "false");
    EXPECT_EQ(updates.value("automaticallyDownloadsUpdates").toString(), "true");

    ASSERT_TRUE(AccessibleTree::press(rig.page().find("check now", QAccessible::Button)));
    EXPECT_TRUE(TestEnvironment::waitUntil([&] { return rig.messages.size() == 1; }, 5s));
}

TEST(SettingsPage, ShowingThePageReadsTheLoginItemAndTheNotificationStatusAgain)
{
    SettingsRig rig;
    rig.settings->setValue("notifyLowSpace", true);
    ASSERT_TRUE(rig.start()) << rig.tree.error().toStdString();
    ASSERT_TRUE(TestEnvironment::waitUntil([&] { return rig.notifier->authorization() == Authorization::denied; }, 5s));
    EXPECT_TRUE(AccessibleTree::shown(rig.page().find(SettingsView::deniedText)));

    // Changed outside the page while it was away.
    rig.view->hide();
    ASSERT_TRUE(QDir().mkpath(rig.config + "/autostart"));
    QFile entry(rig.autostartPath());
    ASSERT_TRUE(entry.open(QIODevice::WriteOnly));
    entry.write("[Desktop Entry]\nType=Application\nExec=mallowby\n");
    entry.close();
    rig.server->status = Authorization::authorized;
    rig.view->show();
    EXPECT_TRUE(AccessibleTree::checked(rig.page().find("launch at login", QAccessible::CheckBox)));
    EXPECT_TRUE(TestEnvironment::waitUntil([&] { return !AccessibleTree::shown(rig.page().find(SettingsView::deniedText)); }, 5s));
}

TEST(SettingsPage, EveryControlIsReachedByTabAndWorksFromTheKeyboard)
{
    SettingsRig rig;
    ASSERT_TRUE(rig.start()) << rig.tree.error().toStdString();
    QApplication::setActiveWindow(rig.view.get());
    qobject_cast<QWidget*>(segment(rig, "style", "icon")->object())->setFocus();
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
                                "hide with no external drives", "external", "disk images", "internal", "network", "GB",
                                "GiB", "5 %", "20 %", "low space", "transfer finished (1 GB or more)", "Phosphor Green",
                                "System", "launch at login", "copy diagnostics", "check automatically (daily)",
                                "download automatically", "check now"})
        EXPECT_TRUE(reached.contains(QString::fromUtf8(control))) << control << " not reached; reached: "
                                                                  << reached.join(", ").toStdString();

    // Return works a switch and a segment like Space does.
    QWidget* trace = qobject_cast<QWidget*>(rig.page().find("activity trace", QAccessible::CheckBox)->object());
    trace->setFocus();
    QTest::keyClick(trace, Qt::Key_Return);
    EXPECT_TRUE(TestEnvironment::waitUntil([&] { return rig.stored("activityTrace").toString() == "false"; }, 2s));
    QTest::keyClick(trace, Qt::Key_Space);
    EXPECT_EQ(rig.stored("activityTrace").toString(), "true");
    QWidget* both = qobject_cast<QWidget*>(segment(rig, "style", "both")->object());
    both->setFocus();
    QTest::keyClick(both, Qt::Key_Return);
    EXPECT_TRUE(TestEnvironment::waitUntil([&] { return rig.stored("menuBarStyle").toString() == "spaceActivity"; }, 2s));
}
