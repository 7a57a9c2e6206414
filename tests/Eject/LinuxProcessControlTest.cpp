#include "Platform/Linux/LinuxProcessControl.h"
#include "Platform/Linux/ProcfsProcessTable.h"

#include "support/TestEnvironment.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <csignal>
#include <thread>

#include <linux/sched.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

using namespace mallowby;
using mallowby::test::TestEnvironment;
using namespace std::chrono_literals;

namespace {

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
