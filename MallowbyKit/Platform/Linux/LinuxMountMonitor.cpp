#include "Platform/Linux/LinuxMountMonitor.h"

#include <QSocketNotifier>

#include <libmount.h>

namespace mallowby {

LinuxMountMonitor::~LinuxMountMonitor()
{
    delete m_notifier;
    if (m_monitor)
        mnt_unref_monitor(m_monitor);
}

bool LinuxMountMonitor::start()
{
    if (m_monitor)
        return true;
    m_monitor = mnt_new_monitor();
    if (!m_monitor)
        return false;
    const int fd = mnt_monitor_enable_kernel(m_monitor, 1) == 0 ? mnt_monitor_get_fd(m_monitor) : -1;
    if (fd < 0) {
        mnt_unref_monitor(m_monitor);
        m_monitor = nullptr;
        return false;
    }
    m_notifier = new QSocketNotifier(fd, QSocketNotifier::Read, this);
    connect(m_notifier, &QSocketNotifier::activated, this, &LinuxMountMonitor::drain);
    return true;
}

void LinuxMountMonitor::drain()
{
    // Take every pending change, or the notifier fires again at once.
    bool changed = false;
    while (mnt_monitor_next_change(m_monitor, nullptr, nullptr) == 0)
        changed = true;
    if (changed)
        emit this->changed();
}

} // namespace mallowby
