#include "Platform/Linux/LinuxBlockMonitor.h"

#include <QFileInfo>
#include <QSocketNotifier>

#include <libudev.h>

namespace mallowby {

LinuxBlockMonitor::~LinuxBlockMonitor()
{
    delete m_notifier;
    if (m_monitor)
        udev_monitor_unref(m_monitor);
    if (m_udev)
        udev_unref(m_udev);
}

bool LinuxBlockMonitor::start()
{
    if (m_monitor)
        return true;
    m_udev = m_udev ? m_udev : udev_new();
    if (!m_udev)
        return false;
    // udevd's events carry the device's properties (labels); the kernel's come earlier, without them.
    const bool udevdRuns = QFileInfo::exists(QStringLiteral("/run/udev/control"));
    m_monitor = udev_monitor_new_from_netlink(m_udev, udevdRuns ? "udev" : "kernel");
    if (!m_monitor)
        return false;
    if (udev_monitor_filter_add_match_subsystem_devtype(m_monitor, "block", nullptr) < 0
        || udev_monitor_enable_receiving(m_monitor) < 0) {
        udev_monitor_unref(m_monitor);
        m_monitor = nullptr;
        return false;
    }
    m_notifier = new QSocketNotifier(udev_monitor_get_fd(m_monitor), QSocketNotifier::Read, this);
    connect(m_notifier, &QSocketNotifier::activated, this, &LinuxBlockMonitor::drain);
    return true;
}

void LinuxBlockMonitor::drain()
{
    bool changed = false;
    while (udev_device* device = udev_monitor_receive_device(m_monitor)) {
        udev_device_unref(device);
        changed = true;
    }
    if (changed)
        emit this->changed();
}

} // namespace mallowby
