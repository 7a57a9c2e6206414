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

namespace {

// A `sleep 60` child, with the pid asked for when one is given (clone3 with set_tid, root only).
// Killed and reaped on destruction.
class Sleeper {
public:
    explicit Sleeper(pid_t wanted = 0)
    {
        clone_args args{};
        args.exit_signal = SIGCHLD;
        pid_t tid = wanted;
        if (wanted) {
            args.set_tid = reinterpret_cast<quint64>(&tid);
            args.set_tid_size = 1;
        }
        const long pid = ::syscall(SYS_clone3, &args, sizeof args);
        if (pid == 0) {
            ::execl("/bin/sleep", "sleep", "60", static_cast<char*>(nullptr));
            ::_exit(127);
        }
        m_pid = pid > 0 ? pid_t(pid) : 0;
        // Up once it runs the program, so its start time and exe are those of `sleep`.
        for (int i = 0; m_pid && i < 200 && ProcfsProcessTable().commandName(m_pid) != QStringLiteral("sleep"); ++i)
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    ~Sleeper() { end(); }

    pid_t pid() const { return m_pid; }
    std::optional<quint64> startTime() const { return ProcfsProcessTable().startTime(m_pid); }
    bool alive() const { return m_pid && ::kill(m_pid, 0) == 0; }
    // Waits for the end; the signal that ended it, or 0.
    int reap()
    {
        int status = 0;
        const bool reaped = m_pid && ::waitpid(m_pid, &status, 0) == m_pid;
        m_pid = 0;
        return reaped && WIFSIGNALED(status) ? WTERMSIG(status) : 0;
    }
    void end()
    {
        if (!m_pid)
            return;
        ::kill(m_pid, SIGKILL);
        ::waitpid(m_pid, nullptr, 0);
        m_pid = 0;
    }

private:
    pid_t m_pid = 0;
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
    // pidfd_open refused for a reason other than "no such process" (an old kernel, no descriptors
    // left): the watch falls back to checking the pid and start time once a second.
    LinuxProcessControl pidfds, polling(QStringLiteral("/proc"), refused(EMFILE));
    for (LinuxProcessControl* control : {&pidfds, &polling}) {
        SCOPED_TRACE(control == &pidfds ? "pidfds" : "polling");
        Sleeper sleeper;
        ASSERT_TRUE(sleeper.alive());
        const auto started = sleeper.startTime();
        ASSERT_TRUE(started.has_value());
        EXPECT_TRUE(control->signal(sleeper.pid(), started, 0));
        EXPECT_FALSE(control->signal(sleeper.pid(), *started + 1, 0));
        bool fired = false;
        const auto watch = control->watchExit(sleeper.pid(), started, [&] { fired = true; });
        ASSERT_NE(watch, nullptr);
        EXPECT_FALSE(TestEnvironment::waitUntil([&] { return fired; }, std::chrono::milliseconds(200)));
        EXPECT_FALSE(control->isGone(sleeper.pid(), started));
        const qint32 pid = sleeper.pid();
        sleeper.end();
        EXPECT_TRUE(TestEnvironment::waitUntil([&] { return fired; }, std::chrono::milliseconds(2500)));
        EXPECT_TRUE(control->isGone(pid, started));
        if (control == &pidfds)
            EXPECT_EQ(control->watchExit(pid, started, [] {}), nullptr) << "no such process: nothing to watch";
    }
    Sleeper other;
    EXPECT_EQ(LinuxProcessControl(QStringLiteral("/proc"), refused(ESRCH)).watchExit(other.pid(), other.startTime(), [] {}), nullptr);
}

TEST(LinuxProcessControl, AReusedPidRunningTheSameProgramIsNeitherWatchedNorSignalled)
{
    if (!TestEnvironment::isRoot())
        GTEST_SKIP() << "choosing a pid (clone3 set_tid) needs root";
    LinuxProcessControl control;
    auto first = std::make_unique<Sleeper>();
    const pid_t pid = first->pid();
    const auto scanned = first->startTime();
    ASSERT_TRUE(scanned.has_value());
    first.reset();
    std::this_thread::sleep_for(std::chrono::milliseconds(30));  // a few clock ticks later
    Sleeper second(pid);
    if (second.pid() != pid)
        GTEST_SKIP() << "the pid was taken by another process meanwhile";
    ASSERT_NE(second.startTime(), scanned);

    EXPECT_TRUE(control.isGone(pid, scanned));
    EXPECT_FALSE(control.signal(pid, scanned, SIGTERM));
    EXPECT_FALSE(control.signal(pid, std::nullopt, SIGTERM)) << "no start time, no telling them apart";
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    EXPECT_TRUE(second.alive());
    // The scanned process ended: the watch says so at once, though the pid lives on.
    bool fired = false;
    const auto watch = control.watchExit(pid, scanned, [&] { fired = true; });
    EXPECT_TRUE(watch && TestEnvironment::waitUntil([&] { return fired; }, std::chrono::milliseconds(500)));

    // The process the pid now names is reached with its own start time.
    EXPECT_FALSE(control.isGone(pid, second.startTime()));
    EXPECT_TRUE(control.signal(pid, second.startTime(), SIGTERM));
    EXPECT_EQ(second.reap(), SIGTERM);
}
