#pragma once

#include "Platform/Linux/ProcfsProcessTable.h"
#include "Platform/ProcessControl.h"

#include <chrono>

namespace mallowby {

// Exit watches with pidfd_open in a socket notifier, signals with pidfd_send_signal, both after
// checking on the pidfd's process that its start time is still the scanned one. Where no pidfd
// can be had (other than for a process that is gone), the pid and start time are checked once a
// second instead.
class LinuxProcessControl final : public ProcessControl {
public:
    // pidfd_open(2): a descriptor, or -1 with errno set.
    using PidfdOpener = std::function<int(qint32 pid)>;

    explicit LinuxProcessControl(QString procRoot = QStringLiteral("/proc"), PidfdOpener openPidfd = {});

    std::unique_ptr<Watch> watchExit(qint32 pid, std::optional<quint64> startTime, std::function<void()> exited) override;
    bool isGone(qint32 pid, std::optional<quint64> startTime) const override;
    bool signal(qint32 pid, std::optional<quint64> startTime, int signal) override;

    static constexpr auto pollInterval = std::chrono::seconds(1);

private:
    // Whether the pid still belongs to the process that started at `startTime`.
    bool isSame(qint32 pid, std::optional<quint64> startTime) const;
    class Pidfd;

    ProcfsProcessTable m_processes;
    PidfdOpener m_openPidfd;
};

} // namespace mallowby
