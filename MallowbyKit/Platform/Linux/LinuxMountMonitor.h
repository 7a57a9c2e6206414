#pragma once

#include "Platform/ChangeSource.h"

struct libmnt_monitor;
class QSocketNotifier;

namespace mallowby {

// Mounts and unmounts, from libmount's monitor of the kernel mount table.
class LinuxMountMonitor final : public ChangeSource {
    Q_OBJECT
public:
    using ChangeSource::ChangeSource;
    ~LinuxMountMonitor() override;

    bool start() override;

private:
    void drain();

    libmnt_monitor* m_monitor = nullptr;
    QSocketNotifier* m_notifier = nullptr;
};

} // namespace mallowby
