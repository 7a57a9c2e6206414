#include "SettingsRig.h"

#include "Popover/Controls/PopoverTheme.h"

#include "support/AppProcess.h"

#include <QComboBox>
#include <QFile>
#include <QLabel>
#include <QSpinBox>
#include <QTest>

#include <gtest/gtest.h>

using namespace mallowby;
using namespace mallowby::test;
using namespace std::chrono_literals;

using SettingsRestart = SettingsPage;

// Every setting changed on the page reaches the file, the app launched on that file reads them
// (its diagnostics report) without rewriting it, and a page built on it afterwards shows them.
TEST_F(SettingsRestart, EveryChangeMadeOnThePageSurvivesARestartOfTheApp)
{
    showPage();
    // Check boxes pressed once (each flips its default), and picker choices.
    const QStringList flipped{"activity during transfers", "activity trace", "hide with no external drives", "disk images",
                              "network", "low space", "transfer finished (1 GB or more)", "Amber"};
    const QList<std::pair<QString, QString>> choices{{"style", "both"}, {"units", "GiB"}, {"low space", "GB"},
                                                     {"panel image", "label"}, {"panel ink", "light"}};
    for (const auto& [picker, label] : choices)
        ASSERT_TRUE(AccessibleTree::press(segment(picker, label))) << label.toStdString();
    for (const QString& name : flipped)
        ASSERT_TRUE(AccessibleTree::press(control(name))) << name.toStdString();
    auto* volume = qobject_cast<QComboBox*>(page().first(QAccessible::ComboBox)->object());
    volume->setFocus();
    QTest::keyClick(volume, Qt::Key_Down);
    auto* field = qobject_cast<QSpinBox*>(control("gigabytes", QAccessible::SpinBox)->object());
    field->setFocus();
    field->selectAll();
    QTest::keyClicks(field, "200");
    QTest::keyClick(field, Qt::Key_Return);

    const QList<std::pair<QString, QVariant>> expected{
        {"menuBarStyle", "spaceActivity"},  {"pinnedVolumeID", volumeAt("/run/media/me/STICK")->id},
        {"activityDuringTransfers", "false"}, {"activityTrace", "false"},
        {"units", "binary"},                 {"lowSpaceThreshold", "gigabytes:200"},
        {"volumesShown", QStringList{"external", "internal", "network"}},
        {"hideWhenNoExternal", "true"},      {"accent", "amber"},
        {"notifyLowSpace", "true"},          {"notifyTransferFinished", "true"},
        {"panelImage", "label"},             {"panelInk", "light"}};
    for (const auto& [key, value] : expected)
        EXPECT_EQ(stored(key), value) << key.toStdString();
    EXPECT_FALSE(AccessibleTree::checked(control("Phosphor Green"))) << "accent swatches are one choice";
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
    const QString appFile = app.homePath("config/mallowby/mallowby.conf");
    QFile read(appFile);
    EXPECT_TRUE(read.open(QIODevice::ReadOnly) && read.readAll() == file) << "the app rewrote its settings";

    // A page on the file the app ran with shows every choice.
    QSettings store(appFile, QSettings::IniFormat);
    Preferences restarted(store);
    view = std::make_unique<SettingsView>(restarted, *this->store, *notifier, *updater, LoginItem(autostartPath(), "mallowby"),
                                          [] {}, clock);
    view->show();
    settle();
    for (const auto& [picker, label] : choices)
        EXPECT_TRUE(AccessibleTree::checked(segment(picker, label))) << label.toStdString();
    for (const char* name : {"activity during transfers", "activity trace", "disk images"})
        EXPECT_FALSE(AccessibleTree::checked(control(name))) << name;
    for (const char* name : {"hide with no external drives", "external", "internal", "network", "low space",
                                "transfer finished (1 GB or more)", "Amber"})
        EXPECT_TRUE(AccessibleTree::checked(control(name))) << name;
    EXPECT_EQ(page().first(QAccessible::ComboBox)->text(QAccessible::Value), "STICK");
    EXPECT_EQ(control("gigabytes", QAccessible::SpinBox)->text(QAccessible::Value), "200");
    auto* title = qobject_cast<QLabel*>(control("MENU BAR", QAccessible::StaticText)->object());
    EXPECT_EQ(title->palette().color(QPalette::WindowText), PopoverTheme::accentColor(Accent::amber)) << "section titles take the accent";
    view.reset();  // before the preferences it reads
}
