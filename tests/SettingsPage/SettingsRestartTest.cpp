#include "SettingsRig.h"

#include "support/AppProcess.h"

#include <QComboBox>
#include <QFile>
#include <QSpinBox>
#include <QTest>

#include <gtest/gtest.h>

using namespace mallowby;
using namespace mallowby::test;
using namespace std::chrono_literals;

namespace {

using SettingsRestart = SettingsPage;

QByteArray contents(const QString& path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

} // namespace

// All thirteen settings changed on the page reach the file, the app launched on that file reads
// them (its diagnostics report) without rewriting it, and a page built on it afterwards shows them.
TEST_F(SettingsRestart, EveryChangeMadeOnThePageSurvivesARestartOfTheApp)
{
    showPage();
    const QString stick = volumeAt("/run/media/me/STICK")->id;

    ASSERT_TRUE(AccessibleTree::press(segment("style", "both")));
    auto* volume = qobject_cast<QComboBox*>(page().first(QAccessible::ComboBox)->object());
    volume->setFocus();
    QTest::keyClick(volume, Qt::Key_Down);
    for (const char* name : {"activity during transfers", "activity trace", "hide with no external drives", "disk images",
                             "network", "low space", "transfer finished (1 GB or more)"})
        ASSERT_TRUE(AccessibleTree::press(page().find(name, QAccessible::CheckBox))) << name;
    ASSERT_TRUE(AccessibleTree::press(segment("units", "GiB")));
    ASSERT_TRUE(AccessibleTree::press(segment("low space", "GB")));
    auto* field = qobject_cast<QSpinBox*>(page().find("gigabytes", QAccessible::SpinBox)->object());
    field->setFocus();
    field->selectAll();
    QTest::keyClicks(field, "200");
    QTest::keyClick(field, Qt::Key_Return);
    ASSERT_TRUE(AccessibleTree::press(page().find("Amber", QAccessible::CheckBox)));
    ASSERT_TRUE(AccessibleTree::press(segment("panel image", "label")));
    ASSERT_TRUE(AccessibleTree::press(segment("panel ink", "light")));

    const QList<std::pair<QString, QVariant>> expected{
        {"menuBarStyle", "spaceActivity"},  {"pinnedVolumeID", stick},
        {"activityDuringTransfers", "false"}, {"activityTrace", "false"},
        {"units", "binary"},                 {"lowSpaceThreshold", "gigabytes:200"},
        {"volumesShown", QStringList{"external", "internal", "network"}},
        {"hideWhenNoExternal", "true"},      {"accent", "amber"},
        {"notifyLowSpace", "true"},          {"notifyTransferFinished", "true"},
        {"panelImage", "label"},             {"panelInk", "light"}};
    for (const auto& [key, value] : expected)
        EXPECT_EQ(stored(key), value) << key.toStdString();
    const QByteArray file = contents(settings->fileName());

    // The app, launched on that file.
    AppProcess app({{QStringLiteral("MALLOWBY_DIAGNOSTICS"), QStringLiteral("1")}}, file);
    ASSERT_TRUE(app.process().waitForFinished(20000)) << "the diagnostics mode did not end";
    const QString settingsLine = app.waitForLine([](const QString& line) { return line.startsWith("Settings: "); }, 1s);
    EXPECT_EQ(settingsLine, "Settings: style spaceActivity, pinned chosen, activity during transfers off, trace off, "
                            "units binary, low space gigabytes:200, shown external+network+internal, "
                            "hide without external on, notify low space on, notify transfer finished on")
        << app.process().readAllStandardError().toStdString();
    const QString appFile = app.homePath("config/mallowby/mallowby.conf");
    EXPECT_EQ(contents(appFile), file);

    // A page on the file the app ran with shows every choice.
    QSettings store(appFile, QSettings::IniFormat);
    Preferences restarted(store);
    view = std::make_unique<SettingsView>(restarted, *this->store, *notifier, *updater, LoginItem(autostartPath(), "mallowby"),
                                          [] {}, clock);
    view->show();
    settle();
    EXPECT_TRUE(AccessibleTree::checked(segment("style", "both")));
    EXPECT_EQ(page().first(QAccessible::ComboBox)->text(QAccessible::Value), "STICK");
    for (const char* name : {"activity during transfers", "activity trace", "disk images"})
        EXPECT_FALSE(AccessibleTree::checked(page().find(name, QAccessible::CheckBox))) << name;
    for (const char* name : {"hide with no external drives", "external", "internal", "network", "low space",
                             "transfer finished (1 GB or more)"})
        EXPECT_TRUE(AccessibleTree::checked(page().find(name, QAccessible::CheckBox))) << name;
    EXPECT_TRUE(AccessibleTree::checked(segment("units", "GiB")));
    EXPECT_TRUE(AccessibleTree::checked(segment("low space", "GB")));
    EXPECT_EQ(page().find("gigabytes", QAccessible::SpinBox)->text(QAccessible::Value), "200");
    EXPECT_TRUE(AccessibleTree::checked(page().find("Amber", QAccessible::CheckBox)));
    EXPECT_TRUE(AccessibleTree::checked(segment("panel image", "label")));
    EXPECT_TRUE(AccessibleTree::checked(segment("panel ink", "light")));
    view.reset();
}
