#include "Eject/BlockerScanner.h"
#include "Platform/DeviceUsers.h"
#include "Platform/RunningApplications.h"

#include "support/TestEnvironment.h"

#include <QHash>
#include <QThread>

#include <atomic>

#include <gtest/gtest.h>

using namespace mallowby;
using mallowby::test::TestEnvironment;
using File = ProcessTable::FileRef;

namespace {

constexpr quint64 target = 0x811;  // the drive's file system (its super block)
constexpr quint64 other = 0xfe00;
constexpr quint64 subvolume = 0x2d;  // a btrfs subvolume's own device number
constexpr quint64 drive = 7;         // the id of the drive's mount here

// Processes set up by hand.
class FakeProcesses final : public ProcessTable {
public:
    struct Process {
        std::optional<QString> exe;
        std::optional<QString> comm;
        qint32 parent = 1;
        QList<File> files;
        std::optional<File> cwd;
        QList<File> maps{};
        std::optional<File> root{};
        bool own = true, readable = true;
        QString ns = QStringLiteral("mnt:[1]");
    };
    QMap<qint32, Process> table;
    QHash<QString, QList<MountEntry>> namespaces{{"mnt:[1]", {{drive, target, "/media/usb", "/", "/dev/sdb1", "ext4", true}}}};
    bool descending = false;  // list the pids highest first, as no sorted source would
    mutable int mapWalks = 0;
    // Reading this process waits until `released`, as one in a dead share's page fault does.
    std::optional<qint32> stuck;
    std::shared_ptr<std::atomic<bool>> released = std::make_shared<std::atomic<bool>>(false);

    QList<Listed> processes() const override
    {
        QList<Listed> listed;
        for (auto it = table.cbegin(); it != table.cend(); ++it)
            listed.insert(descending ? 0 : listed.size(), {it.key(), it->own});
        return listed;
    }
    std::optional<QString> executablePath(qint32 pid) const override { return table.value(pid).exe; }
    std::optional<QString> commandName(qint32 pid) const override { return table.value(pid).comm; }
    std::optional<qint32> parent(qint32 pid) const override { return table.contains(pid) ? std::optional(table[pid].parent) : std::nullopt; }
    std::optional<quint64> startTime(qint32 pid) const override { return table.contains(pid) ? std::optional(pid * 100ull) : std::nullopt; }
    Holdings holdings(qint32 pid, const Mounts&) const override
    {
        while (pid == stuck && !*released)
            QThread::msleep(5);
        const Process p = table.value(pid);
        return {startTime(pid), p.exe, false, p.files, p.cwd, p.root, p.readable};
    }
    QList<File> mappedFiles(qint32 pid, const QSet<quint64>&, int limit) const override
    {
        ++mapWalks;
        return table.value(pid).maps.mid(0, limit);
    }
    std::optional<QString> mountNamespace(qint32 pid) const override
    {
        return pid == 0 || table.value(pid).readable ? std::optional(pid ? table.value(pid).ns : "mnt:[1]") : std::nullopt;
    }
    QList<MountEntry> mounts(qint32 pid) const override { return namespaces.value(pid ? table.value(pid).ns : "mnt:[1]"); }
    std::optional<QString> unit(qint32) const override { return std::nullopt; }
};

class FakeApps final : public RunningApplications {
public:
    QHash<qint32, RunningApplication> records;
    std::optional<RunningApplication> forPid(qint32 pid) const override { return records.contains(pid) ? std::optional(records[pid]) : std::nullopt; }
};

class FakeDevices final : public DeviceUsers {
public:
    QList<Swap> swaps() const override { return {{"/media/usb/swapfile", false}, {"/dev/sdb2", true}, {"/swap.img", false}, {"/dev/sda3", true}}; }
    QStringList exports() const override { return {"/media/usb/share", "/srv/nfs"}; }
    QStringList disksBelow(const QStringList& devices) const override { return devices == QStringList{"sdb1"} ? QStringList{"sdb"} : QStringList{}; }
    bool isOn(const QString& device, const QStringList& disks) const override { return disks.contains(device.left(3)); }
    QList<Stacked> stackedOn(const QStringList& disks) const override
    {
        return disks == QStringList{"sdb"} ? QList<Stacked>{{"dm-3", "thin", 0xfd03, {"dm-4"}}} : QList<Stacked>{};
    }
};

const ScanTarget usb{{target}, {QStringLiteral("/media/usb")}, {QStringLiteral("sdb1")}};
const File there{"/media/usb", target};

// "name:pid reason path; reason path", a blocker a line, in the report's order.
QStringList lines(const BlockerReport& report)
{
    QStringList list;
    for (const Blocker& b : report.blockers) {
        QStringList uses;
        for (const Blocker::Use& use : b.uses)
            uses << Blocker::reasonText(use.reason) + ' ' + use.path;
        list << QStringLiteral("%1:%2 %3").arg(b.processName).arg(b.pid).arg(uses.join("; "));
    }
    return list;
}

} // namespace

// One process table after another: uses, mapped files, order, owning apps, other holders, other users.
TEST(BlockerScanner, FindsEveryUseNamesItsOwnerAndEveryOtherHolder)
{
    auto processes = std::make_shared<FakeProcesses>();
    const auto scan = [&](std::shared_ptr<const RunningApplications> apps = nullptr, QList<ImageBlocker> images = {},
                          std::shared_ptr<const DeviceUsers> devices = nullptr) {
        return BlockerScanner(processes, std::move(apps), [images] { return images; }, std::move(devices)).scanBlocking(usb);
    };
    processes->table[10] = {"/usr/bin/bash", "bash", 1, {}, File{"/media/usb/photos", target}, {}};
    // A file on a subvolume matches by its mount; a duplicate is kept.
    processes->table[11] = {"/media/usb/tools/run", "run", 1,
                            {{"/media/usb/a.txt", subvolume, drive}, {"/home/me/b.txt", other}, {"/media/usb/a.txt", target}},
                            File{"/media/usb", target, drive}, {}, File{"/media/usb/jail", target, drive}};
    processes->table[12] = {"/usr/bin/cat", "cat", 1, {{"/home/me/x", other}}, File{"/home/me", other}, {}};
    // The same super block through a mount of a namespace that could not be read.
    processes->table[13] = {"/usr/bin/less", "less", 1, {{"/elsewhere/x", target, 99}}, std::nullopt, {}};
    // An attached image replaces the uses of its file.
    processes->table[14] = {"/usr/bin/vim", "vim", 1, {{"/media/usb/disk.img", target}, {"/media/usb/notes", target}}, std::nullopt, {}};
    processes->table[15] = {"/usr/sbin/losetup", "losetup", 1, {{"/media/usb/disk.img", target}}, std::nullopt, {}};
    const auto report = scan(nullptr, {{"/media/usb/disk.img", "loop3"}, {"/home/me/other.img", "loop4"}});
    EXPECT_EQ(lines(report), (QStringList{"bash:10 working directory /media/usb/photos", "less:13 open file /elsewhere/x",
                                          "run:11 mapped file /media/usb/tools/run; root directory /media/usb/jail; working directory /media/usb; "
                                          "open file /media/usb/a.txt; open file /media/usb/a.txt",
                                          "vim:14 open file /media/usb/notes"}));
    EXPECT_EQ(report.images, (QList<ImageBlocker>{{"/media/usb/disk.img", "loop3"}}));
    EXPECT_EQ(std::tuple(report.processCount, report.scannedMappedFiles, processes->mapWalks, report.blockers[2].startTime),
              std::tuple(6, false, 0, std::optional<quint64>(1100))) << "the mapped-file pass only when the first finds nothing";

    // The mapped-file pass runs when the first finds nothing, and says so even when it finds nothing too.
    processes->table = {{20, {"/usr/bin/viewer", "viewer", 1, {}, std::nullopt,
                              {{"/usr/lib/libc.so.6", other}, {"/media/usb/lib.so", target}, {"/media/usb/lib.so", target}, {"/media/usb/doc.pdf", target}}}}};
    const auto mapped = scan();
    EXPECT_TRUE(mapped.scannedMappedFiles);
    EXPECT_EQ(lines(mapped), QStringList{"viewer:20 mapped file /media/usb/lib.so; mapped file /media/usb/doc.pdf"});
    processes->table.clear();
    EXPECT_TRUE(scan().scannedMappedFiles);

    // By name, then pid, whatever order the processes were listed in.
    processes->table = {{42, {std::nullopt, "kworker-ish", 1, {}, there, {}}}, {41, {std::nullopt, std::nullopt, 1, {}, there, {}}},
                        {50, {"/usr/bin/Zeta", "Zeta", 1, {}, there, {}}},    {44, {"/usr/bin/zeta", "zeta", 1, {}, there, {}}},
                        {43, {"/usr/bin/alpha", "alpha", 1, {}, there, {}}}};
    for (const bool descending : {true, false}) {
        processes->descending = descending;
        EXPECT_EQ(lines(scan()).replaceInStrings(" working directory /media/usb", ""),
                  (QStringList{"alpha:43", "kworker-ish:42", "pid 41:41", "zeta:44", "Zeta:50"})) << descending;
    }

    // The owning app is the nearest regular app ancestor; 103 has a record of its own, though not a regular one.
    processes->table = {{100, {"/usr/bin/editor", "editor", 1, {}, std::nullopt, {}}},
                        {101, {"/usr/bin/helper", "helper", 100, {}, std::nullopt, {}}},  // a hidden app of its own
                        {102, {"/usr/bin/worker", "worker", 101, {}, there, {}}},
                        {103, {"/usr/bin/helper", "helper", 101, {}, there, {}}},
                        {200, {"/usr/bin/daemon", "daemon", 1, {}, there, {}}},  // only a hidden record
                        {300, {"/usr/bin/loop", "loop", 300, {}, there, {}}}};   // its own parent
    auto apps = std::make_shared<FakeApps>();
    apps->records = {{100, {100, "Editor", "org.example.Editor", "/x/org.example.Editor.desktop", std::nullopt, true}},
                     {101, {101, "Helper", std::nullopt, std::nullopt, std::nullopt, false}},
                     {103, {103, "Helper", std::nullopt, std::nullopt, std::nullopt, false}},
                     {200, {200, std::nullopt, std::nullopt, "/x/org.example.Daemon.desktop", std::nullopt, false}}};
    QMap<qint32, std::pair<std::optional<OwningApp>, bool>> byPid;
    for (const Blocker& b : scan(apps).blockers)
        byPid.insert(b.pid, {b.app, b.isAppProcess});
    const OwningApp editor{100, "Editor", QStringLiteral("org.example.Editor"), QStringLiteral("/x/org.example.Editor.desktop"), 10000};
    EXPECT_EQ(byPid, (QMap<qint32, std::pair<std::optional<OwningApp>, bool>>{
                         {102, {editor, false}},
                         {103, {editor, true}},
                         {200, {OwningApp{200, "org.example.Daemon", std::nullopt, QStringLiteral("/x/org.example.Daemon.desktop"), 20000}, true}},
                         {300, {std::nullopt, false}}}));

    // Submounts, bind mounts, namespaces, swap, stacked devices, exports and other users' processes.
    processes->namespaces["mnt:[1]"] += {{8, other, "/media/usb/inner", "/", "/dev/sdc1", "ext4", true},
                                         {9, target, "/srv/photos", "/photos", "/dev/sdb1", "ext4", true},
                                         {10, other, "/media/usb2", "/", "/dev/sdd1", "ext4", true}};
    processes->namespaces["mnt:[2]"] = {{20, target, "/media/usb", "/", "/dev/sdb1", "ext4", false}};  // private
    processes->namespaces["mnt:[3]"] = {{30, target, "/media/usb", "/", "/dev/sdb1", "ext4", true}};   // slave, idle
    processes->namespaces["mnt:[4]"] = {{40, target, "/media/usb", "/", "/dev/sdb1", "ext4", true}};   // slave, busy
    const FakeProcesses::Process cron{std::nullopt, "cron", 1, {}, std::nullopt, {}, std::nullopt, false, false};
    processes->table = {{60, {"/usr/bin/bwrap", "bwrap", 1, {}, std::nullopt, {}, std::nullopt, true, true, "mnt:[2]"}},
                        {61, {"/usr/bin/sleep", "sleep", 1, {}, std::nullopt, {}, std::nullopt, true, true, "mnt:[3]"}},
                        {62, {"/usr/bin/sh", "sh", 1, {}, File{"/media/usb", other, 40}, {}, std::nullopt, true, true, "mnt:[4]"}},
                        {70, {"/usr/bin/rsync", "rsync", 1, {{"/media/usb/a", target, drive}}, std::nullopt, {}, std::nullopt, false}},
                        {71, cron}};
    const auto held = scan(nullptr, {}, std::make_shared<FakeDevices>());
    EXPECT_EQ(lines(held), QStringList{"sh:62 working directory /media/usb"}) << "found through its namespace's mount";
    QStringList holders;
    for (const SystemHolder& holder : held.holders)
        holders << holder.summary();
    EXPECT_EQ(holders, (QStringList{"submount /media/usb/inner [\"/dev/sdc1\"]", "bind-mount /srv/photos [\"/photos\"]",
                                    "namespace mnt:[2] private [\"bwrap (60)\"]", "namespace mnt:[4] propagated [\"sh (62)\"]",
                                    "swap /media/usb/swapfile []", "swap /dev/sdb2 []", "stacked-device thin [\"dm-4\"]",
                                    "nfs-export /media/usb/share []", "other-users 1 [\"rsync (70)\"]"}));
    EXPECT_EQ(held.holders.last().title(), "1 process of other users is using it");
    // Unreadable processes of other users are named only when nothing certain was found.
    processes->table = {{71, cron}, {72, cron}};
    processes->namespaces = {{"mnt:[1]", {{drive, target, "/media/usb", "/", "/dev/sdb1", "ext4", true}}}};
    const auto unsure = scan();
    ASSERT_EQ(unsure.holders.size(), 1);
    EXPECT_EQ(unsure.holders[0].title() + " | " + unsure.holders[0].subtitle(), "2 processes of other users may be using it | cron");
    EXPECT_FALSE(unsure.isEmpty());
}

TEST(BlockerScanner, WithinIsAPathPrefixOnComponentBoundaries)
{
    for (const auto& [path, root, within] : std::vector<std::tuple<QString, QString, bool>>{
             {"/media/usb", "/media/usb", true}, {"/media/usb/a", "/media/usb", true}, {"/media/usb2/a", "/media/usb", false},
             {"/anything", "/", true}, {"relative", "/", false}})
        EXPECT_EQ(BlockerScanner::isWithin(path, root), within) << path.toStdString();
}

TEST(BlockerScanner, AtItsDeadlineAScanReportsWhatItFoundMarkedIncomplete)
{
    auto stuck = std::make_shared<FakeProcesses>(), calm = std::make_shared<FakeProcesses>();
    calm->table = {{10, {"/usr/bin/bash", "bash", 1, {}, there, {}}}, {11, {"/usr/bin/cat", "cat", 1, {{"/media/usb/a", target}}, std::nullopt, {}}},
                   {12, {"/usr/bin/less", "less", 1, {{"/media/usb/b", target}}, std::nullopt, {}}}};
    stuck->table = calm->table;
    stuck->stuck = 11;
    // Stuck on one process: what it found by then; in time: complete.
    for (const auto& [table, deadline, incomplete, blockers] : {std::tuple(stuck, 200, true, 1), std::tuple(calm, 2000, false, 3)}) {
        const auto report = TestEnvironment::await(BlockerScanner(table, nullptr, {}, nullptr, std::chrono::milliseconds(deadline)).scan(usb),
                                                   std::chrono::seconds(10));
        *stuck->released = true;
        ASSERT_TRUE(report.has_value());
        EXPECT_EQ(std::tuple(report->incomplete, report->blockers.size()), std::tuple(incomplete, blockers)) << deadline;
    }
    // The released work item lets go of its table before the test (and the process) ends.
    EXPECT_TRUE(TestEnvironment::waitUntil([&] { return stuck.use_count() == 1; }, std::chrono::seconds(10)));
}
