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

QAccessibleInterface* within(const SettingsRig& rig, const QString& container, const QString& name)
{
    return AccessibleTree::findIn(rig.page().find(container, QAccessible::Client), name);
}

QByteArray contents(const QString& path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

} // namespace

// All eleven settings changed on the page reach the file, the app launched on that file reads
// them (its diagnostics report) without rewriting it, and a page built on it afterwards shows them.
TEST(SettingsRestart, EveryChangeMadeOnThePageSurvivesARestartOfTheApp)
{
    SettingsRig rig;
    ASSERT_TRUE(rig.start()) << rig.tree.error().toStdString();
    const QString stick = rig.volumeID("/run/media/me/STICK");
    ASSERT_FALSE(stick.isEmpty());

    ASSERT_TRUE(AccessibleTree::press(within(rig, "style", "both")));
    auto* volume = qobject_cast<QComboBox*>(rig.page().first(QAccessible::ComboBox)->object());
    volume->setFocus();
    QTest::keyClick(volume, Qt::Key_Down);
    for (const char* name : {"activity during transfers", "activity trace", "hide with no external drives", "disk images",
                             "network", "low space", "transfer finished (1 GB or more)"})
        ASSERT_TRUE(AccessibleTree::press(rig.page().find(name, QAccessible::CheckBox))) << name;
    ASSERT_TRUE(AccessibleTree::press(within(rig, "units", "GiB")));
    ASSERT_TRUE(AccessibleTree::press(within(rig, "low space", "GB")));
    auto* field = qobject_cast<QSpinBox*>(rig.page().find("gigabytes", QAccessible::SpinBox)->object());
    field->setFocus();
    field->selectAll();
    QTest::keyClicks(field, "200");
    QTest::keyClick(field, Qt::Key_Return);
    ASSERT_TRUE(AccessibleTree::press(rig.page().find("Amber", QAccessible::CheckBox)));

    const QList<std::pair<QString, QVariant>> expected{
        {"menuBarStyle", "spaceActivity"},  {"pinnedVolumeID", stick},
        {"activityDuringTransfers", "false"}, {"activityTrace", "false"},
        {"units", "binary"},                 {"lowSpaceThreshold", "gigabytes:200"},
        {"volumesShown", QStringList{"external", "internal", "network"}},
        {"hideWhenNoExternal", "true"},      {"accent", "amber"},
        {"notifyLowSpace", "true"},          {"notifyTransferFinished", "true"}};
    for (const auto& [key, value] : expected)
        EXPECT_EQ(rig.stored(key), value) << key.toStdString();
    const QByteArray file = contents(rig.settingsPath());
    rig.view.reset();

    // The app, launched on that file.
    AppProcess app({{QStringLiteral("MALLOWBY_DIAGNOSTICS"), QStringLiteral("1")}}, file);
    ASSERT_TRUE(app.process().waitForFinished(20000)) << "the diagnostics mode did not end";
    const QString settingsLine = app.waitForLine([](const QString& line) { return line.startsWith("Settings: "); }, 1s);
    EXPECT_EQ(settingsLine, "Settings: style spaceActivity, pinned chosen, activity during transfers off, trace off, "
                            "units binary, low space gigabytes:200, shown external+network+internal, "
                            "hide without external on, notify low space on, notify transfer finished on")
        << app.process().readAllStandardError().toStdString();
    EXPECT_EQ(contents(app.homePath("config/mallowby/mallowby.conf")), file);

    // A page on the file the app ran with shows every choice.
    SettingsRig again(app.homePath("config"));
    ASSERT_TRUE(again.start()) << again.tree.error().toStdString();
    EXPECT_TRUE(AccessibleTree::checked(within(again, "style", "both")));
    EXPECT_EQ(again.page().first(QAccessible::ComboBox)->text(QAccessible::Value), "STICK");
    for (const char* name : {"activity during transfers", "activity trace", "disk images"})
        EXPECT_FALSE(AccessibleTree::checked(again.page().find(name, QAccessible::CheckBox))) << name;
    for (const char* name : {"hide with no external drives", "external", "internal", "network", "low space",
                             "transfer finished (1 GB or more)"})
        EXPECT_TRUE(AccessibleTree::checked(again.page().find(name, QAccessible::CheckBox))) << name;
    EXPECT_TRUE(AccessibleTree::checked(within(again, "units", "GiB")));
    EXPECT_TRUE(AccessibleTree::checked(within(again, "low space", "GB")));
    EXPECT_EQ(again.page().find("gigabytes", QAccessible::SpinBox)->text(QAccessible::Value), "200");
    EXPECT_TRUE(AccessibleTree::checked(again.page().find("Amber", QAccessible::CheckBox)));
}
