#pragma once

#include "Platform/ChangeSource.h"

struct udev;
struct udev_monitor;
class QSocketNotifier;

namespace mallowby {

// Block devices appearing, going and changing (a new label), from udev's events, or from the
// kernel's own when no udevd runs.
class LinuxBlockMonitor final : public ChangeSource {
    Q_OBJECT
public:
    using ChangeSource::ChangeSource;
    ~LinuxBlockMonitor() override;

    bool start() override;

private:
    void drain();

    udev* m_udev = nullptr;
    udev_monitor* m_monitor = nullptr;
    QSocketNotifier* m_notifier = nullptr;
};

} // namespace mallowby
