#include "Platform/Linux/LinuxProcessControl.h"

#include <QObject>
#include <QSocketNotifier>
#include <QTimer>

#include <cerrno>
#include <csignal>

#include <sys/syscall.h>
#include <unistd.h>

#ifndef SYS_pidfd_open
#define SYS_pidfd_open 434
#endif
#ifndef SYS_pidfd_send_signal
#define SYS_pidfd_send_signal 424
#endif

namespace mallowby {

namespace {

// Delivers `exited` once, on a later turn of the event loop, so the receiver may drop the watch
// from inside its callback. Destroying the watch cancels a delivery not yet made. It learns of
// the end from a pidfd, which becomes readable when the process ends, or, without one, from a
// check once a second.
class ExitWatch final : public ProcessControl::Watch {
public:
    explicit ExitWatch(std::function<void()> exited) : m_exited(std::move(exited)) {}

    ~ExitWatch() override
    {
        delete m_notifier;
        if (m_pidfd >= 0)
            ::close(m_pidfd);
    }

    void onPidfd(int pidfd)
    {
        m_pidfd = pidfd;
        m_notifier = new QSocketNotifier(m_pidfd, QSocketNotifier::Read, &m_context);
        QObject::connect(m_notifier, &QSocketNotifier::activated, &m_context, [this] {
            m_notifier->setEnabled(false);
            deliver();
        });
    }

    void byPolling(std::function<bool()> alive)
    {
        auto* timer = new QTimer(&m_context);
        QObject::connect(timer, &QTimer::timeout, &m_context, [this, timer, alive = std::move(alive)] {
            if (alive())
                return;
            timer->stop();
            deliver();
        });
        timer->start(LinuxProcessControl::pollInterval);
    }

    void deliver()
    {
        QTimer::singleShot(0, &m_context, [exited = m_exited] { exited(); });
    }

private:
    QObject m_context;
    int m_pidfd = -1;
    QSocketNotifier* m_notifier = nullptr;
    std::function<void()> m_exited;
};

} // namespace

// A pidfd owned for the length of one call, with the errno of a failed open.
class LinuxProcessControl::Pidfd {
public:
    Pidfd(const LinuxProcessControl& control, qint32 pid)
        : m_fd(control.m_openPidfd(pid)), m_error(m_fd < 0 ? errno : 0)
    {
    }
    ~Pidfd()
    {
        if (m_fd >= 0)
            ::close(m_fd);
    }
    Pidfd(const Pidfd&) = delete;
    Pidfd& operator=(const Pidfd&) = delete;

    int fd() const { return m_fd; }
    int error() const { return m_error; }
    int release() { return std::exchange(m_fd, -1); }

private:
    int m_fd;
    int m_error;
};

LinuxProcessControl::LinuxProcessControl(QString procRoot, PidfdOpener openPidfd)
    : m_processes(std::move(procRoot)), m_openPidfd(std::move(openPidfd))
{
    if (!m_openPidfd)
        m_openPidfd = [](qint32 pid) { return int(::syscall(SYS_pidfd_open, pid_t(pid), 0)); };
}

bool LinuxProcessControl::isSame(qint32 pid, std::optional<quint64> startTime) const
{
    if (!startTime)
        return true;  // nothing to compare with
    return m_processes.startTime(pid) == startTime;
}

std::unique_ptr<ProcessControl::Watch> LinuxProcessControl::watchExit(qint32 pid, std::optional<quint64> startTime,
                                                                      std::function<void()> exited)
{
    if (pid < 1)
        return nullptr;
    Pidfd pidfd(*this, pid);
    if (pidfd.fd() < 0 && pidfd.error() == ESRCH)
        return nullptr;  // gone already: the probe tells
    auto watch = std::make_unique<ExitWatch>(std::move(exited));
    if (pidfd.fd() < 0) {
        // A copy: the watch may outlive this object.
        watch->byPolling([control = LinuxProcessControl(*this), pid, startTime] { return !control.isGone(pid, startTime); });
        return watch;
    }
    // Checked after opening: the pidfd's process is the scanned one, or the pid was reused.
    if (!isSame(pid, startTime))
        watch->deliver();
    else
        watch->onPidfd(pidfd.release());
    return watch;
}

bool LinuxProcessControl::isGone(qint32 pid, std::optional<quint64> startTime) const
{
    if (pid < 1)
        return true;
    if (::kill(pid_t(pid), 0) != 0 && errno == ESRCH)
        return true;
    return !isSame(pid, startTime);
}

bool LinuxProcessControl::signal(qint32 pid, std::optional<quint64> startTime, int signal)
{
    // Without the scanned start time there is no telling the process from a later one.
    if (pid < 1 || !startTime)
        return false;
    Pidfd pidfd(*this, pid);
    if (pidfd.fd() < 0) {
        // No pidfd for this process (not a "no such process"): the narrowest check left.
        return pidfd.error() != ESRCH && isSame(pid, startTime) && ::kill(pid_t(pid), signal) == 0;
    }
    // The start time is read after the pidfd pins the process: a match means the pidfd names
    // the scanned process, and the signal cannot reach a later one.
    if (!isSame(pid, startTime))
        return false;
    return ::syscall(SYS_pidfd_send_signal, pidfd.fd(), signal, nullptr, 0) == 0;
}

} // namespace mallowby
