#include "Platform/Linux/DesktopApplications.h"

#include "support/TestEnvironment.h"

#include <QDir>
#include <QFile>
#include <QTemporaryDir>

#include <gtest/gtest.h>

using namespace mallowby;
using mallowby::test::TestEnvironment;
using namespace std::chrono_literals;

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
    // "id" of the record, "id (hidden)" for one not regular, "" for none.
    const std::vector<std::pair<qint32, QString>> rows{
        {1000, "org.example.Editor"}, {1001, ""},                 // an app service and its child
        {2000, "org.gnome.Terminal"}, {2001, ""},                 // launcher prefix on the scope
        {3000, "org.mozilla.firefox"},                            // Flatpak
        {4000, "viewer"}, {4001, ""},                             // no unit: the entry's program, as written; the same program as its parent
        {5000, "org.example.Daemon (hidden)"},
        {6000, "org.example.My-Tool"},                            // escaped unit name
        {7000, "org.example.Editor"}, {99999, ""},                // cgroup v1: the program named by its file name
    };
    const auto apps = fixture();
    for (const auto& [pid, expected] : rows) {
        const auto record = apps.forPid(pid);
        EXPECT_EQ(record ? record->bundleIdentifier.value_or("?") + (record->isRegular ? "" : " (hidden)") : QString(), expected) << pid;
        EXPECT_EQ(record ? record->pid : pid, pid);
    }
    EXPECT_EQ(apps.forPid(1000), (RunningApplication{1000, "Example Editor", "org.example.Editor",
                                                     TestEnvironment::dataPath("xdg/applications/org.example.Editor.desktop"), "org.example.Editor", true}));
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
    ASSERT_TRUE(index.waitReady(10s));
    const auto nameOf = [&](const QString& executable) { return index.byProgram(executable).value_or(DesktopEntry{}).name; };
    // The first directory wins; a bare name as found on PATH; a link to the program by its file name.
    EXPECT_EQ(QStringList({nameOf("/net/gone/bin/tool"), nameOf("/usr/lib/bare-tool"), nameOf("/usr/bin/tool"), nameOf("/usr/bin/other")}),
              QStringList({"Shared", "Bare", "Shared", ""}));
    EXPECT_EQ(index.byId("shared")->name, "Shared");
    EXPECT_EQ(index.byId("bare"), std::nullopt);  // only directly in applications/

    // Added, changed and removed entries count once the directory has been read again.
    const quint64 before = index.generation();
    ASSERT_TRUE(write(apps + "/new.desktop", "[Desktop Entry]\nName=New\nExec=/opt/new/run\n"));
    ASSERT_TRUE(QFile::remove(apps + "/shared.desktop"));
    EXPECT_TRUE(TestEnvironment::waitUntil([&] { return nameOf("/opt/new/run") == "New"; }, 10s));
    EXPECT_EQ(nameOf("/net/gone/bin/tool"), "Later");
    EXPECT_GT(index.generation(), before);

    // A data directory without applications/ is told when it appears.
    QTemporaryDir third;
    DesktopEntryIndex late({third.path()}, "en", [](const QString&) { return true; });
    ASSERT_TRUE(late.waitReady(10s));
    ASSERT_TRUE(write(third.filePath("applications/a.desktop"), "[Desktop Entry]\nName=A\nExec=a\n"));
    EXPECT_TRUE(TestEnvironment::waitUntil([&] { return late.byId("a").has_value(); }, 10s));
}

TEST(DesktopEntry, UnitNamesExecProgramsAndBrokenFiles)
{
    for (const auto& [unit, id] : std::vector<std::pair<const char*, std::optional<QString>>>{
             {"app-org.kde.konsole@0f1e.service", "org.kde.konsole"}, {"app-gnome-org.gnome.Nautilus-2231.scope", "gnome-org.gnome.Nautilus"},
             {"app.slice", std::nullopt}, {"session-2.scope", std::nullopt}, {"app-123.scope", std::nullopt}})
        EXPECT_EQ(DesktopApplications::unitApplicationId(unit), id) << unit;
    for (const auto& [exec, program] : std::vector<std::pair<const char*, std::optional<QString>>>{
             {"gedit %U", "gedit"}, {"\"/opt/My App/run\" --x", "/opt/My App/run"}, {"env A=1 B=2 /usr/bin/tool", "/usr/bin/tool"},
             {"", std::nullopt}, {"env A=1", std::nullopt}})
        EXPECT_EQ(DesktopEntry::programOfExec(exec), program) << exec;
    EXPECT_EQ(DesktopEntry::parse("no group here\nName=x\n", "p", "en"), std::nullopt);
    EXPECT_EQ(DesktopEntry::parse("[Desktop Entry]\nExec=x\n", "p", "en"), std::nullopt);  // no name
    EXPECT_EQ(DesktopEntry::load("/nonexistent.desktop", "en"), std::nullopt);
}
