#pragma once

#include "Platform/DeviceUsers.h"
#include "Platform/Linux/Sysfs.h"

namespace mallowby {

// Swap areas from /proc/swaps, exports from the NFS server's table (/proc/fs/nfsd/exports where
// readable, else nfs-utils' etab), stacked devices from sysfs.
class LinuxDeviceUsers final : public DeviceUsers {
public:
    explicit LinuxDeviceUsers(QString procRoot = QStringLiteral("/proc"), QString sysRoot = QStringLiteral("/sys"),
                              QString etab = QStringLiteral("/var/lib/nfs/etab"));

    QList<Swap> swaps() const override;
    QStringList exports() const override;
    QStringList disksBelow(const QStringList& devices) const override;
    bool isOn(const QString& device, const QStringList& disks) const override;
    QList<Stacked> stackedOn(const QStringList& disks) const override;

private:
    QString m_procRoot;
    Sysfs m_sysfs;
    QString m_etab;
};

} // namespace mallowby
