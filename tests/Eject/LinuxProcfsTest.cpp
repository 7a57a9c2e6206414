#include "Platform/Linux/LinuxDeviceUsers.h"
#include "Platform/Linux/LinuxProcessControl.h"
#include "Platform/Linux/ProcfsProcessTable.h"

#include "support/SysfsTree.h"
#include "support/TestEnvironment.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QTemporaryDir>

#include <gtest/gtest.h>

#include <cerrno>
#include <csignal>
#include <thread>

#include <linux/sched.h>
#include <sys/syscall.h>
#include <sys/sysmacros.h>
#include <sys/wait.h>
#include <unistd.h>

using namespace mallowby;
using namespace mallowby::test;
using namespace std::chrono_literals;
using File = ProcessTable::FileRef;

namespace {

ProcfsProcessTable odd(uid_t uid = 1000)
{
    return ProcfsProcessTable(TestEnvironment::dataPath(QStringLiteral("proc-odd")), uid);
}

void write(const QString& path, const QByteArray& text)
{
    QDir().mkpath(QFileInfo(path).path());
    QFile file(path);
    ASSERT_TRUE(file.open(QIODevice::WriteOnly));
    file.write(text);
}

// A `sleep 60` child, with the pid asked for if any (clone3 set_tid, root only); killed and reaped at the end.
struct Sleeper {
    explicit Sleeper(pid_t wanted = 0)
    {
        clone_args args{};
        args.exit_signal = SIGCHLD;
        args.set_tid = wanted ? reinterpret_cast<quint64>(&wanted) : 0;
        args.set_tid_size = wanted ? 1 : 0;
        const long child = ::syscall(SYS_clone3, &args, sizeof args);
        if (child == 0) {
            ::execl("/bin/sleep", "sleep", "60", static_cast<char*>(nullptr));
            ::_exit(127);
        }
        pid = child > 0 ? pid_t(child) : 0;
        // Up once it runs the program, so its start time and exe are those of `sleep`.
        TestEnvironment::waitUntil([&] { return !pid || ProcfsProcessTable().commandName(pid) == QStringLiteral("sleep"); }, 1s);
    }
    ~Sleeper() { end(); }
    std::optional<quint64> startTime() const { return ProcfsProcessTable().startTime(pid); }
    // Waits for the end (killing it first when asked); the signal that ended it, or 0.
    int end(bool kill = true)
    {
        int status = 0;
        const bool reaped = pid && (!kill || ::kill(pid, SIGKILL) == 0) && ::waitpid(std::exchange(pid, 0), &status, 0) > 0;
        return reaped && WIFSIGNALED(status) ? WTERMSIG(status) : 0;
    }
    pid_t pid = 0;
};

} // namespace

TEST(ProcfsProcessTable, FixtureListingStatFieldsMapsAndMountInfo)
{
    const uid_t owner = QFileInfo(TestEnvironment::dataPath(QStringLiteral("proc-odd/4242"))).ownerId();
    EXPECT_EQ(odd(owner).processes(), (QList<ProcessTable::Listed>{{4242, true}, {4243, true}, {4244, true}}));
    EXPECT_EQ(odd(owner + 1).processes(), (QList<ProcessTable::Listed>{{4242, false}, {4243, false}, {4244, false}}));
    EXPECT_TRUE(ProcfsProcessTable(QStringLiteral("/nonexistent")).processes().isEmpty());

    const auto table = odd();
    EXPECT_EQ(table.parent(4242), 4100);
    EXPECT_EQ(table.startTime(4242), 987654u);
    EXPECT_EQ(table.commandName(4242), QStringLiteral("my (odd) prog) x"));
    EXPECT_EQ(table.startTime(9999), std::nullopt);

    const QSet<quint64> devices{makedev(0x103, 0x0a), makedev(0xfd, 0x01), makedev(0x08, 0x11)};
    const QList<File> expected{
        {"/usr/bin/odd prog", makedev(0x103, 0x0a)},
        {"/usr/bin/odd prog", makedev(0x103, 0x0a)},
        {"/run/media/me/My Stick/notes (draft).txt", makedev(0xfd, 0x01)},
        {"/run/media/me/My Stick/lib/libthing.so", makedev(0x08, 0x11)},
    };
    EXPECT_EQ(table.mappedFiles(4242, devices, 100), expected) << "anonymous regions and a malformed device are skipped";
    EXPECT_EQ(table.mappedFiles(4242, devices, 4), expected.mid(0, 3)) << "the limit counts the regions walked";
    EXPECT_EQ(table.mappedFiles(4242, {makedev(0x08, 0x11)}, 100), expected.mid(3)) << "only the devices asked about";

    // Mount info with escapes, optional fields and propagation.
    const QByteArray text = "36 35 98:0 / /media/My\\040Stick rw,noatime shared:1 - ext4 /dev/sdb1 rw\n"
                            "37 36 0:45 /sub /srv/sub rw master:3 unbindable - btrfs /dev/sdc rw\n"
                            "38 36 0:46 / /private rw - tmpfs tmpfs rw\n"
                            "garbage line\n";
    EXPECT_EQ(ProcfsProcessTable::parseMountInfo(text),
              (QList<ProcessTable::MountEntry>{{36, makedev(98, 0), "/media/My Stick", "/", "/dev/sdb1", "ext4", true},
                                              {37, makedev(0, 45), "/srv/sub", "/sub", "/dev/sdc", "btrfs", true},
                                              {38, makedev(0, 46), "/private", "/", "tmpfs", "tmpfs", false}}));
}

TEST(LinuxDeviceUsers, SwapsExportsAndStackedDevicesFromTheKernelsTables)
{
    QTemporaryDir proc;
    write(proc.filePath("swaps"), "Filename\tType\tSize\tUsed\tPriority\n"
                                  "/media/My\\040Stick/swapfile file 1024 0 -2\n/dev/sdb2 partition 2048 0 -3\n");
    write(proc.filePath("etab"), "/media/usb/share\t*(rw,sync)\n/media/usb/share\t10.0.0.0/8(ro)\n/srv/nfs\t*(ro)\n");
    LinuxDeviceUsers users(proc.path(), QStringLiteral("/nonexistent"), proc.filePath("etab"));
    EXPECT_EQ(users.swaps(), (QList<DeviceUsers::Swap>{{"/media/My Stick/swapfile", false}, {"/dev/sdb2", true}}));
    EXPECT_EQ(users.exports(), (QStringList{"/media/usb/share", "/srv/nfs"})) << "etab, without the server's table";
    write(proc.filePath("fs/nfsd/exports"), "# Version 1.1\n/media/usb/other\t*(rw)\n");
    EXPECT_EQ(users.exports(), QStringList{"/media/usb/other"}) << "the server's own table first";

    // sdb1 carries a LUKS layer (handled by the eject) with a plain dm target on it, and an md array.
    SysfsTree sysfs({QStringLiteral("usb-disk")});
    ASSERT_TRUE(sysfs.isReady()) << sysfs.error().toStdString();
    sysfs.addDisk("dm-0", "253:0");
    sysfs.setAttribute("dm-0", "dm/uuid", "CRYPT-LUKS2-abc-luks");
    sysfs.addDisk("dm-1", "253:1");
    sysfs.setAttribute("dm-1", "dm/name", "thin");
    sysfs.setAttribute("dm-1", "dm/uuid", "");
    sysfs.addDisk("md0", "9:0");
    sysfs.stack("dm-0", "sdb1");
    sysfs.stack("dm-1", "dm-0");
    sysfs.stack("md0", "sdb");
    LinuxDeviceUsers stacked(proc.path(), sysfs.root());
    EXPECT_EQ(stacked.disksBelow({"dm-1"}), QStringList{"sdb"});
    EXPECT_TRUE(stacked.isOn("sdb1", {"sdb"}));
    EXPECT_FALSE(stacked.isOn("sda1", {"sdb"}));
    const auto found = stacked.stackedOn({"sdb"});
    ASSERT_EQ(found.size(), 2);
    EXPECT_EQ(std::tuple(found[0].label, found[1].label, found[1].device), std::tuple(QStringLiteral("md0"), QStringLiteral("thin"), makedev(253, 1)));
}

TEST(LinuxProcessControl, AWatchFiresWhenTheProcessEndsAndNotBeforeWithOrWithoutPidfds)
{
    const auto refused = [](int error) {
        return [error](qint32) {
            errno = error;
            return -1;
        };
    };
    // pidfd_open refused other than by ESRCH (old kernel, no descriptors): polling pid and start time.
    LinuxProcessControl pidfds, polling(QStringLiteral("/proc"), refused(EMFILE));
    for (LinuxProcessControl* control : {&pidfds, &polling}) {
        SCOPED_TRACE(control == &pidfds ? "pidfds" : "polling");
        Sleeper sleeper;
        const qint32 pid = sleeper.pid;
        const auto started = sleeper.startTime();
        ASSERT_TRUE(pid && started.has_value());
        EXPECT_TRUE(control->signal(pid, started, 0));
        EXPECT_FALSE(control->signal(pid, *started + 1, 0));
        bool fired = false;
        const auto watch = control->watchExit(pid, started, [&] { fired = true; });
        ASSERT_NE(watch, nullptr);
        EXPECT_FALSE(TestEnvironment::waitUntil([&] { return fired; }, 200ms));
        EXPECT_FALSE(control->isGone(pid, started));
        sleeper.end();
        EXPECT_TRUE(TestEnvironment::waitUntil([&] { return fired; }, 2500ms));
        EXPECT_TRUE(control->isGone(pid, started));
        EXPECT_EQ(control->watchExit(pid, started, [] {}) == nullptr, control == &pidfds) << "no such process: nothing to watch";
    }
    Sleeper other;
    EXPECT_EQ(LinuxProcessControl(QStringLiteral("/proc"), refused(ESRCH)).watchExit(other.pid, other.startTime(), [] {}), nullptr);
}

TEST(LinuxProcessControl, AReusedPidRunningTheSameProgramIsNeitherWatchedNorSignalled)
{
    if (!TestEnvironment::isRoot())
        GTEST_SKIP() << "choosing a pid (clone3 set_tid) needs root";
    LinuxProcessControl control;
    auto first = std::make_unique<Sleeper>();
    const pid_t pid = first->pid;
    const auto scanned = first->startTime();
    ASSERT_TRUE(scanned.has_value());
    first.reset();
    std::this_thread::sleep_for(30ms);  // a few clock ticks, so the start times differ
    Sleeper second(pid);
    if (second.pid != pid)
        GTEST_SKIP() << "the pid was taken by another process meanwhile";
    ASSERT_NE(second.startTime(), scanned);

    EXPECT_TRUE(control.isGone(pid, scanned));
    EXPECT_FALSE(control.signal(pid, scanned, SIGTERM));
    EXPECT_FALSE(control.signal(pid, std::nullopt, SIGTERM)) << "no start time, no telling them apart";
    // The scanned process ended: the watch says so at once, though the pid lives on.
    bool fired = false;
    const auto watch = control.watchExit(pid, scanned, [&] { fired = true; });
    EXPECT_TRUE(watch && TestEnvironment::waitUntil([&] { return fired; }, 500ms));
    // The process the pid now names is reached with its own start time, and only by that signal.
    EXPECT_FALSE(control.isGone(pid, second.startTime()));
    EXPECT_TRUE(control.signal(pid, second.startTime(), SIGTERM));
    EXPECT_EQ(second.end(false), SIGTERM);
}
