#include "Eject/BlockerScanner.h"
#include "Platform/Linux/DesktopApplications.h"
#include "Platform/ProcessTable.h"

#include "support/TestEnvironment.h"

#include <QHash>
#include <QThread>

#include <algorithm>
#include <atomic>

#include <gtest/gtest.h>

using namespace mallowby;
using mallowby::test::TestEnvironment;

namespace {

constexpr quint64 target = 0x811;  // the drive's file system
constexpr quint64 other = 0xfe00;

// Processes set up by hand.
class FakeProcesses final : public ProcessTable {
public:
    struct Process {
        std::optional<QString> exe;
        std::optional<QString> comm;
        qint32 parent = 1;
        QList<FileRef> files;
        std::optional<FileRef> cwd;
        QList<FileRef> maps;
    };
    QMap<qint32, Process> table;
    bool descending = false;  // list the pids highest first, as no sorted source would
    mutable int mapWalks = 0;
    // Reading this process waits until `released`, as one in a dead share's page fault does.
    std::optional<qint32> stuck;
    std::shared_ptr<std::atomic<bool>> released = std::make_shared<std::atomic<bool>>(false);

    QList<qint32> userProcesses() const override
    {
        QList<qint32> pids = table.keys();
        if (descending)
            std::reverse(pids.begin(), pids.end());
        return pids;
    }
    std::optional<QString> executablePath(qint32 pid) const override { return table.value(pid).exe; }
    std::optional<QString> commandName(qint32 pid) const override { return table.value(pid).comm; }
    std::optional<qint32> parent(qint32 pid) const override
    {
        return table.contains(pid) ? std::optional(table.value(pid).parent) : std::nullopt;
    }
    std::optional<quint64> startTime(qint32 pid) const override
    {
        return table.contains(pid) ? std::optional(quint64(pid) * 100) : std::nullopt;
    }
    Holdings holdings(qint32 pid, const QSet<quint64>&) const override
    {
        while (pid == stuck && !*released)
            QThread::msleep(5);
        const Process process = table.value(pid);
        return {process.exe, process.files, process.cwd};
    }
    QList<FileRef> mappedFiles(qint32 pid, int limit) const override
    {
        ++mapWalks;
        return table.value(pid).maps.mid(0, limit);
    }
};

class FakeApps final : public RunningApplications {
public:
    QHash<qint32, RunningApplication> records;
    std::optional<RunningApplication> forPid(qint32 pid) const override
    {
        return records.contains(pid) ? std::optional(records.value(pid)) : std::nullopt;
    }
};

const ScanTarget drive{{target}, {QStringLiteral("/media/usb")}};

BlockerReport scan(const std::shared_ptr<FakeProcesses>& processes, std::shared_ptr<const RunningApplications> apps = nullptr,
                   QList<ImageBlocker> images = {})
{
    return BlockerScanner(processes, std::move(apps), [images] { return images; }).scanBlocking(drive);
}

} // namespace

TEST(BlockerScanner, FindsOpenFilesWorkingDirectoriesAndExecutablesInThatOrder)
{
    auto processes = std::make_shared<FakeProcesses>();
    processes->table[10] = {"/usr/bin/bash", "bash", 1, {}, ProcessTable::FileRef{"/media/usb/photos", target}, {}};
    processes->table[11] = {"/media/usb/tools/run", "run", 1,
                            {{"/media/usb/a.txt", target}, {"/home/me/b.txt", other}, {"/media/usb/a.txt", target}},
                            ProcessTable::FileRef{"/media/usb", target}, {}};
    processes->table[12] = {"/usr/bin/cat", "cat", 1, {{"/home/me/x", other}}, ProcessTable::FileRef{"/home/me", other}, {}};
    const auto report = scan(processes);

    EXPECT_EQ(report.processCount, 3);
    EXPECT_FALSE(report.scannedMappedFiles);
    ASSERT_EQ(report.blockers.size(), 2);
    const Blocker& shell = report.blockers[0];
    EXPECT_EQ(shell.pid, 10);
    EXPECT_EQ(shell.processName, "bash");
    EXPECT_EQ(shell.uses, (QList<Blocker::Use>{{Blocker::Reason::workingDirectory, "/media/usb/photos"}}));
    const Blocker& run = report.blockers[1];
    EXPECT_EQ(run.uses, (QList<Blocker::Use>{{Blocker::Reason::mappedFile, "/media/usb/tools/run"},
                                             {Blocker::Reason::workingDirectory, "/media/usb"},
                                             {Blocker::Reason::openFile, "/media/usb/a.txt"},
                                             {Blocker::Reason::openFile, "/media/usb/a.txt"}}));
    EXPECT_EQ(processes->mapWalks, 0);
}

TEST(BlockerScanner, TheMappedFilePassRunsOnlyWhenTheFirstFindsNothing)
{
    auto processes = std::make_shared<FakeProcesses>();
    processes->table[20] = {"/usr/bin/viewer", "viewer", 1, {}, std::nullopt,
                            {{"/usr/lib/libc.so.6", other}, {"/media/usb/lib.so", target}, {"/media/usb/lib.so", target},
                             {"/media/usb/doc.pdf", target}}};
    auto report = scan(processes);
    EXPECT_TRUE(report.scannedMappedFiles);
    ASSERT_EQ(report.blockers.size(), 1);
    EXPECT_EQ(report.blockers[0].uses, (QList<Blocker::Use>{{Blocker::Reason::mappedFile, "/media/usb/lib.so"},
                                                            {Blocker::Reason::mappedFile, "/media/usb/doc.pdf"}}));

    // With a cheap-pass blocker, the mapped files are not walked at all.
    processes->table[21] = {"/usr/bin/bash", "bash", 1, {}, ProcessTable::FileRef{"/media/usb", target}, {}};
    processes->mapWalks = 0;
    report = scan(processes);
    EXPECT_FALSE(report.scannedMappedFiles);
    EXPECT_EQ(processes->mapWalks, 0);
    ASSERT_EQ(report.blockers.size(), 1);
    EXPECT_EQ(report.blockers[0].pid, 21);

    // Nothing at all: the second pass still runs and says so.
    EXPECT_TRUE(scan(std::make_shared<FakeProcesses>()).scannedMappedFiles);
}

TEST(BlockerScanner, AnAttachedImageReplacesTheUsesOfItsFile)
{
    auto processes = std::make_shared<FakeProcesses>();
    processes->table[30] = {"/usr/sbin/losetup", "losetup", 1, {{"/media/usb/disk.img", target}}, std::nullopt, {}};
    processes->table[31] = {"/usr/bin/vim", "vim", 1, {{"/media/usb/disk.img", target}, {"/media/usb/notes", target}}, std::nullopt, {}};
    const QList<ImageBlocker> images{{"/media/usb/disk.img", "loop3"}, {"/home/me/other.img", "loop4"}};
    const auto report = scan(processes, nullptr, images);
    EXPECT_EQ(report.images, (QList<ImageBlocker>{{"/media/usb/disk.img", "loop3"}}));
    ASSERT_EQ(report.blockers.size(), 1);
    EXPECT_EQ(report.blockers[0].pid, 31);
    EXPECT_EQ(report.blockers[0].uses, (QList<Blocker::Use>{{Blocker::Reason::openFile, "/media/usb/notes"}}));
    EXPECT_FALSE(report.scannedMappedFiles);
    EXPECT_FALSE(report.isEmpty());
}

TEST(BlockerScanner, NamesAndOrder)
{
    auto processes = std::make_shared<FakeProcesses>();
    const ProcessTable::FileRef there{"/media/usb", target};
    processes->table[42] = {std::nullopt, "kworker-ish", 1, {}, there, {}};
    processes->table[41] = {std::nullopt, std::nullopt, 1, {}, there, {}};
    processes->table[50] = {"/usr/bin/Zeta", "Zeta", 1, {}, there, {}};
    processes->table[44] = {"/usr/bin/zeta", "zeta", 1, {}, there, {}};
    processes->table[43] = {"/usr/bin/alpha", "alpha", 1, {}, there, {}};
    // Equal keys are ordered by pid whatever order the processes were listed in.
    for (const bool descending : {false, true}) {
        processes->descending = descending;
        const auto report = scan(processes);
        QStringList order;
        for (const Blocker& b : report.blockers)
            order << QStringLiteral("%1:%2").arg(b.processName).arg(b.pid);
        EXPECT_EQ(order, (QStringList{"alpha:43", "kworker-ish:42", "pid 41:41", "zeta:44", "Zeta:50"})) << descending;
        EXPECT_EQ(report.blockers.first().startTime, 4300u) << "the start time of each blocker is recorded";
    }
}

TEST(BlockerScanner, TheOwningAppIsTheNearestRegularAppAncestor)
{
    auto processes = std::make_shared<FakeProcesses>();
    const ProcessTable::FileRef there{"/media/usb", target};
    processes->table[100] = {"/usr/bin/editor", "editor", 1, {}, std::nullopt, {}};
    processes->table[101] = {"/usr/bin/helper", "helper", 100, {}, std::nullopt, {}};  // a hidden app of its own
    processes->table[102] = {"/usr/bin/worker", "worker", 101, {}, there, {}};
    processes->table[103] = {"/usr/bin/helper", "helper", 101, {}, there, {}};
    processes->table[200] = {"/usr/bin/daemon", "daemon", 1, {}, there, {}};  // only a hidden record
    processes->table[300] = {"/usr/bin/loop", "loop", 300, {}, there, {}};     // its own parent
    auto apps = std::make_shared<FakeApps>();
    apps->records[100] = {100, QStringLiteral("Editor"), QStringLiteral("org.example.Editor"), QStringLiteral("/x/org.example.Editor.desktop"), std::nullopt, true};
    apps->records[101] = {101, QStringLiteral("Helper"), std::nullopt, std::nullopt, std::nullopt, false};
    apps->records[103] = {103, QStringLiteral("Helper"), std::nullopt, std::nullopt, std::nullopt, false};
    apps->records[200] = {200, std::nullopt, std::nullopt, QStringLiteral("/x/org.example.Daemon.desktop"), std::nullopt, false};
    const auto report = scan(processes, apps);

    QHash<qint32, Blocker> byPid;
    for (const Blocker& b : report.blockers)
        byPid.insert(b.pid, b);
    ASSERT_EQ(byPid.size(), 4);
    EXPECT_EQ(byPid[102].app, (OwningApp{100, "Editor", QStringLiteral("org.example.Editor"), QStringLiteral("/x/org.example.Editor.desktop"), 10000}));
    EXPECT_FALSE(byPid[102].isAppProcess);
    EXPECT_EQ(byPid[103].app->pid, 100);
    EXPECT_TRUE(byPid[103].isAppProcess);  // it has a record of its own, though not a regular one
    EXPECT_EQ(byPid[200].app, (OwningApp{200, "org.example.Daemon", std::nullopt, QStringLiteral("/x/org.example.Daemon.desktop"), 20000}));
    EXPECT_TRUE(byPid[200].isAppProcess);
    EXPECT_EQ(byPid[300].app, std::nullopt);
    EXPECT_FALSE(byPid[300].isAppProcess);
}

TEST(BlockerScanner, TheOwningAppOfAChildFromTheDesktopsRecords)
{
    // The editor's helper child (1001) in the fixture session belongs to the editor (1000).
    auto processes = std::make_shared<FakeProcesses>();
    processes->table[1000] = {"/usr/bin/example-editor", "editor", 1, {}, std::nullopt, {}};
    processes->table[1001] = {"/usr/libexec/example-editor-helper", "editor (helper)", 1000, {{"/media/usb/f", target}}, std::nullopt, {}};
    auto apps = std::make_shared<DesktopApplications>(TestEnvironment::dataPath("proc-desktop"),
                                                      QStringList{TestEnvironment::dataPath("xdg")}, QStringLiteral("en_US"));
    const auto report = scan(processes, apps);
    ASSERT_EQ(report.blockers.size(), 1);
    EXPECT_EQ(report.blockers[0].app->name, "Example Editor");
    EXPECT_EQ(report.blockers[0].app->pid, 1000);
    EXPECT_FALSE(report.blockers[0].isAppProcess);
}

TEST(BlockerScanner, WithinIsAPathPrefixOnComponentBoundaries)
{
    EXPECT_TRUE(BlockerScanner::isWithin("/media/usb", "/media/usb"));
    EXPECT_TRUE(BlockerScanner::isWithin("/media/usb/a", "/media/usb"));
    EXPECT_FALSE(BlockerScanner::isWithin("/media/usb2/a", "/media/usb"));
    EXPECT_TRUE(BlockerScanner::isWithin("/anything", "/"));
    EXPECT_FALSE(BlockerScanner::isWithin("relative", "/"));
}

TEST(BlockerScanner, AtItsDeadlineAScanReportsWhatItFoundMarkedIncomplete)
{
    auto processes = std::make_shared<FakeProcesses>();
    processes->table[10] = {"/usr/bin/bash", "bash", 1, {}, ProcessTable::FileRef{"/media/usb", target}, {}};
    processes->table[11] = {"/usr/bin/cat", "cat", 1, {{"/media/usb/a", target}}, std::nullopt, {}};
    processes->table[12] = {"/usr/bin/less", "less", 1, {{"/media/usb/b", target}}, std::nullopt, {}};
    processes->stuck = 11;
    const BlockerScanner scanner(processes, nullptr, {}, std::chrono::milliseconds(200));
    const auto report = TestEnvironment::await(scanner.scan(drive), std::chrono::seconds(10));
    *processes->released = true;
    ASSERT_TRUE(report.has_value());
    EXPECT_TRUE(report->incomplete);
    ASSERT_EQ(report->blockers.size(), 1);
    EXPECT_EQ(report->blockers[0].pid, 10);

    // In time: complete.
    auto calm = std::make_shared<FakeProcesses>();
    calm->table = processes->table;
    const auto whole = TestEnvironment::await(BlockerScanner(calm, nullptr, {}, std::chrono::milliseconds(2000)).scan(drive),
                                              std::chrono::seconds(10));
    ASSERT_TRUE(whole.has_value());
    EXPECT_FALSE(whole->incomplete);
    EXPECT_EQ(whole->blockers.size(), 3);
}
