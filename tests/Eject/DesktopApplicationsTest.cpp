#include "Platform/Linux/DesktopApplications.h"

#include "support/TestEnvironment.h"

#include <QDir>
#include <QFile>
#include <QTemporaryDir>

#include <gtest/gtest.h>

using namespace mallowby;
using mallowby::test::TestEnvironment;

namespace {

DesktopApplications fixture(const QString& locale = QStringLiteral("en_US"))
{
    return DesktopApplications(TestEnvironment::dataPath("proc-desktop"), {TestEnvironment::dataPath("xdg")}, locale);
}

bool write(const QString& path, const QByteArray& text)
{
    QFile file(path);
    return QDir().mkpath(QFileInfo(path).path()) && file.open(QIODevice::WriteOnly) && file.write(text) == text.size();
}

} // namespace

TEST(DesktopApplications, TheRecordOfEachProcess)
{
    struct Row {
        qint32 pid;
        std::optional<QString> id;  // none: no record
        bool regular = true;
    };
    const Row rows[] = {
        {1000, "org.example.Editor"},  // an app service
        {1001, std::nullopt},          // its child
        {2000, "org.gnome.Terminal"},  // launcher prefix on the scope
        {2001, std::nullopt},
        {3000, "org.mozilla.firefox"},  // Flatpak
        {4000, "viewer"},               // no unit: the entry's program, as written
        {4001, std::nullopt},           // the same program as its parent
        {5000, "org.example.Daemon", false},
        {6000, "org.example.My-Tool"},  // escaped unit name
        {7000, "org.example.Editor"},   // cgroup v1: the program named by its file name
        {99999, std::nullopt},
    };
    const auto apps = fixture();
    for (const Row& row : rows) {
        const auto record = apps.forPid(row.pid);
        ASSERT_EQ(record.has_value(), row.id.has_value()) << row.pid;
        if (!record)
            continue;
        EXPECT_EQ(record->pid, row.pid);
        EXPECT_EQ(record->bundleIdentifier, row.id) << row.pid;
        EXPECT_EQ(record->isRegular, row.regular) << row.pid;
    }
    const auto editor = apps.forPid(1000);
    EXPECT_EQ(editor->name, QStringLiteral("Example Editor"));
    EXPECT_EQ(editor->bundlePath, TestEnvironment::dataPath("xdg/applications/org.example.Editor.desktop"));
    EXPECT_EQ(editor->iconName, QStringLiteral("org.example.Editor"));
    EXPECT_EQ(apps.forPid(3000)->name, QStringLiteral("Firefox"));
    EXPECT_EQ(fixture(QStringLiteral("de_DE")).forPid(1000)->name, QStringLiteral("Beispiel-Editor"));
}

TEST(DesktopEntryIndex, ProgramsComparedAsTextAndKeptCurrentByChangeNotifications)
{
    QTemporaryDir first, second;
    const QString apps = first.filePath("applications");
    // A program on a share that does not exist here: matched as written, never looked up.
    ASSERT_TRUE(write(apps + "/shared.desktop", "[Desktop Entry]\nName=Shared\nExec=/net/gone/bin/../bin/tool --x\n"));
    ASSERT_TRUE(write(apps + "/kde/bare.desktop", "[Desktop Entry]\nName=Bare\nExec=bare-tool %U\n"));
    ASSERT_TRUE(write(second.filePath("applications/shared.desktop"), "[Desktop Entry]\nName=Later\nExec=/net/gone/bin/tool\n"));
    DesktopEntryIndex index({first.path(), second.path(), "/nonexistent"}, "en", [](const QString&) { return true; });
    ASSERT_TRUE(index.waitReady(std::chrono::seconds(10)));

    const auto nameOf = [&](const QString& executable) { return index.byProgram(executable).value_or(DesktopEntry{}).name; };
    EXPECT_EQ(nameOf("/net/gone/bin/tool"), "Shared");  // the first directory wins
    EXPECT_EQ(nameOf("/usr/lib/bare-tool"), "Bare");    // a bare name, as found on PATH
    EXPECT_EQ(nameOf("/usr/bin/tool"), "Shared");       // a link to the program, by its file name
    EXPECT_EQ(nameOf("/usr/bin/other"), "");
    EXPECT_EQ(index.byId("shared")->name, "Shared");
    EXPECT_EQ(index.byId("bare"), std::nullopt);  // only directly in applications/

    // Added, changed and removed entries count once the directory has been read again.
    const quint64 before = index.generation();
    ASSERT_TRUE(write(apps + "/new.desktop", "[Desktop Entry]\nName=New\nExec=/opt/new/run\n"));
    ASSERT_TRUE(QFile::remove(apps + "/shared.desktop"));
    EXPECT_TRUE(TestEnvironment::waitUntil([&] { return nameOf("/opt/new/run") == "New"; }, std::chrono::seconds(10)));
    EXPECT_EQ(nameOf("/net/gone/bin/tool"), "Later");
    EXPECT_GT(index.generation(), before);

    // A data directory without applications/ is told when it appears.
    QTemporaryDir third;
    DesktopEntryIndex late({third.path()}, "en", [](const QString&) { return true; });
    ASSERT_TRUE(late.waitReady(std::chrono::seconds(10)));
    ASSERT_TRUE(write(third.filePath("applications/a.desktop"), "[Desktop Entry]\nName=A\nExec=a\n"));
    EXPECT_TRUE(TestEnvironment::waitUntil([&] { return late.byId("a").has_value(); }, std::chrono::seconds(10)));
}

TEST(DesktopEntry, UnitNamesExecProgramsAndBrokenFiles)
{
    EXPECT_EQ(DesktopApplications::unitApplicationId("app-org.kde.konsole@0f1e.service"), QStringLiteral("org.kde.konsole"));
    EXPECT_EQ(DesktopApplications::unitApplicationId("app-gnome-org.gnome.Nautilus-2231.scope"), QStringLiteral("gnome-org.gnome.Nautilus"));
    for (const char* other : {"app.slice", "session-2.scope", "app-123.scope"})
        EXPECT_EQ(DesktopApplications::unitApplicationId(other), std::nullopt) << other;
    EXPECT_EQ(DesktopEntry::programOfExec("gedit %U"), QStringLiteral("gedit"));
    EXPECT_EQ(DesktopEntry::programOfExec("\"/opt/My App/run\" --x"), QStringLiteral("/opt/My App/run"));
    EXPECT_EQ(DesktopEntry::programOfExec("env A=1 B=2 /usr/bin/tool"), QStringLiteral("/usr/bin/tool"));
    EXPECT_EQ(DesktopEntry::programOfExec(""), std::nullopt);
    EXPECT_EQ(DesktopEntry::programOfExec("env A=1"), std::nullopt);
    EXPECT_EQ(DesktopEntry::parse("no group here\nName=x\n", "p", "en"), std::nullopt);
    EXPECT_EQ(DesktopEntry::parse("[Desktop Entry]\nExec=x\n", "p", "en"), std::nullopt);  // no name
    EXPECT_EQ(DesktopEntry::load("/nonexistent.desktop", "en"), std::nullopt);
}
