#include "Platform/Linux/LinuxProcessControl.h"

#include "Platform/Linux/ProcfsProcessTable.h"

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

namespace mallowby {

namespace {

// Delivers `exited` once, on a later turn of the event loop, so the receiver may drop the watch
// from inside its callback. Destroying the watch cancels a delivery not yet made.
class ExitWatch final : public ProcessControl::Watch {
public:
    ExitWatch(int pidfd, std::function<void()> exited) : m_pidfd(pidfd), m_exited(std::move(exited))
    {
        if (m_pidfd < 0) {
            deliver();
            return;
        }
        // A pidfd becomes readable when the process ends.
        m_notifier = new QSocketNotifier(m_pidfd, QSocketNotifier::Read, &m_context);
        QObject::connect(m_notifier, &QSocketNotifier::activated, &m_context, [this] {
            m_notifier->setEnabled(false);
            deliver();
        });
    }

    ~ExitWatch() override
    {
        delete m_notifier;
        if (m_pidfd >= 0)
            ::close(m_pidfd);
    }

private:
    void deliver()
    {
        QTimer::singleShot(0, &m_context, [exited = m_exited] { exited(); });
    }

    QObject m_context;
    int m_pidfd;
    QSocketNotifier* m_notifier = nullptr;
    std::function<void()> m_exited;
};

} // namespace

std::unique_ptr<ProcessControl::Watch> LinuxProcessControl::watchExit(qint32 pid, const std::optional<QString>& executablePath,
                                                                      std::function<void()> exited)
{
    const int pidfd = int(::syscall(SYS_pidfd_open, pid_t(pid), 0));
    if (pidfd < 0)
        return nullptr;  // gone already (the probe will tell) or not ours to watch
    // The pid may have been reused since the scan: another program means the scanned one ended.
    if (executablePath) {
        const auto now = ProcfsProcessTable().executablePath(pid);
        if (now && *now != *executablePath) {
            ::close(pidfd);
            return std::make_unique<ExitWatch>(-1, std::move(exited));
        }
    }
    return std::make_unique<ExitWatch>(pidfd, std::move(exited));
}

bool LinuxProcessControl::isGone(qint32 pid) const
{
    return ::kill(pid_t(pid), 0) != 0 && errno == ESRCH;
}

bool LinuxProcessControl::signal(qint32 pid, int signal)
{
    return pid > 0 && ::kill(pid_t(pid), signal) == 0;
}

} // namespace mallowby
