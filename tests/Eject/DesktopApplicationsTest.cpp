#include "Platform/Linux/DesktopApplications.h"

#include "support/TestEnvironment.h"

#include <gtest/gtest.h>

using namespace mallowby;
using mallowby::test::TestEnvironment;

namespace {

DesktopApplications fixture(const QString& locale = QStringLiteral("en_US"))
{
    return DesktopApplications(TestEnvironment::dataPath("proc-desktop"), {TestEnvironment::dataPath("xdg")}, locale);
}

} // namespace

TEST(DesktopApplications, AnAppServiceProcessIsTheAppAndItsChildIsNot)
{
    const auto apps = fixture();
    const auto editor = apps.forPid(1000);
    ASSERT_TRUE(editor.has_value());
    EXPECT_EQ(editor->pid, 1000);
    EXPECT_EQ(editor->name, QStringLiteral("Example Editor"));
    EXPECT_EQ(editor->bundleIdentifier, QStringLiteral("org.example.Editor"));
    EXPECT_EQ(editor->bundlePath, TestEnvironment::dataPath("xdg/applications/org.example.Editor.desktop"));
    EXPECT_EQ(editor->iconName, QStringLiteral("org.example.Editor"));
    EXPECT_TRUE(editor->isRegular);
    EXPECT_EQ(apps.forPid(1001), std::nullopt);
    EXPECT_EQ(fixture(QStringLiteral("de_DE")).forPid(1000)->name, QStringLiteral("Beispiel-Editor"));
}

TEST(DesktopApplications, LauncherPrefixesEscapesFlatpakAndCgroupV1)
{
    const auto apps = fixture();
    EXPECT_EQ(apps.forPid(2000)->bundleIdentifier, QStringLiteral("org.gnome.Terminal"));
    EXPECT_EQ(apps.forPid(2001), std::nullopt);
    EXPECT_EQ(apps.forPid(3000)->name, QStringLiteral("Firefox"));
    EXPECT_EQ(apps.forPid(6000)->bundleIdentifier, QStringLiteral("org.example.My-Tool"));
    EXPECT_EQ(apps.forPid(7000)->bundleIdentifier, QStringLiteral("org.example.Editor"));
    const auto daemon = apps.forPid(5000);
    ASSERT_TRUE(daemon.has_value());
    EXPECT_FALSE(daemon->isRegular);
}

TEST(DesktopApplications, WithoutUnitsTheProgramOfAnEntryCounts)
{
    const auto apps = fixture();
    const auto viewer = apps.forPid(4000);
    ASSERT_TRUE(viewer.has_value());
    EXPECT_EQ(viewer->name, QStringLiteral("Viewer"));
    EXPECT_EQ(viewer->bundleIdentifier, QStringLiteral("viewer"));
    EXPECT_EQ(apps.forPid(4001), std::nullopt);  // same program as its parent
    EXPECT_EQ(apps.forPid(99999), std::nullopt);
}

TEST(DesktopApplications, UnitNames)
{
    EXPECT_EQ(DesktopApplications::unitApplicationId("app-org.kde.konsole@0f1e.service"), QStringLiteral("org.kde.konsole"));
    EXPECT_EQ(DesktopApplications::unitApplicationId("app-gnome-org.gnome.Nautilus-2231.scope"),
              QStringLiteral("gnome-org.gnome.Nautilus"));
    EXPECT_EQ(DesktopApplications::unitApplicationId("app-firefox.service"), QStringLiteral("firefox"));
    EXPECT_EQ(DesktopApplications::unitApplicationId("app.slice"), std::nullopt);
    EXPECT_EQ(DesktopApplications::unitApplicationId("session-2.scope"), std::nullopt);
    EXPECT_EQ(DesktopApplications::unitApplicationId("app-123.scope"), std::nullopt);
}

TEST(DesktopEntry, ExecProgramsAndBrokenFiles)
{
    EXPECT_EQ(DesktopEntry::programOfExec("gedit %U"), QStringLiteral("gedit"));
    EXPECT_EQ(DesktopEntry::programOfExec("\"/opt/My App/run\" --x"), QStringLiteral("/opt/My App/run"));
    EXPECT_EQ(DesktopEntry::programOfExec("env A=1 B=2 /usr/bin/tool"), QStringLiteral("/usr/bin/tool"));
    EXPECT_EQ(DesktopEntry::programOfExec(""), std::nullopt);
    EXPECT_EQ(DesktopEntry::programOfExec("env A=1"), std::nullopt);
    EXPECT_EQ(DesktopEntry::parse("no group here\nName=x\n", "p", "en"), std::nullopt);
    EXPECT_EQ(DesktopEntry::parse("[Desktop Entry]\nExec=x\n", "p", "en"), std::nullopt);  // no name
    EXPECT_EQ(DesktopEntry::load("/nonexistent.desktop", "en"), std::nullopt);
}
