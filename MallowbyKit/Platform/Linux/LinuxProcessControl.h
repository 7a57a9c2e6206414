#pragma once

#include "Platform/ProcessControl.h"

namespace mallowby {

// Exit watches with pidfd_open in a socket notifier; signals with kill(2).
class LinuxProcessControl final : public ProcessControl {
public:
    std::unique_ptr<Watch> watchExit(qint32 pid, const std::optional<QString>& executablePath,
                                     std::function<void()> exited) override;
    bool isGone(qint32 pid) const override;
    bool signal(qint32 pid, int signal) override;
};

} // namespace mallowby
