#pragma once

#include "Platform/DiskDescriptions.h"
#include "Platform/Linux/Sysfs.h"

#include <QHash>

#include <functional>

namespace mallowby {

// Disk descriptions from sysfs (bus, removable, model) and the udev database (file-system
// label and UUID, vendor and model names). Without udevd the sysfs half still answers. A volume
// on dm-crypt, LVM or md takes model, bus and flags from the physical disk below it.
class LinuxDiskDescriptions final : public DiskDescriptions {
public:
    // udev properties of a device, by kernel name and device number.
    using UdevLookup = std::function<QHash<QString, QString>(const QString& kernelName, quint64 deviceNumber)>;

    explicit LinuxDiskDescriptions(Sysfs sysfs = Sysfs(), UdevLookup udev = realUdev());

    std::optional<DiskDescription> describe(const QString& bsdName) const override;

    // The bus of a disk from its sysfs device path: "USB", "SATA", "NVMe", "Secure Digital",
    // "FireWire", "Thunderbolt", "Virtio", "SCSI"; none for virtual devices.
    static std::optional<QString> protocolOfDevicePath(const QString& devicePath);

    static UdevLookup realUdev();

private:
    std::optional<QString> model(const QString& disk, const QHash<QString, QString>& udev) const;

    Sysfs m_sysfs;
    UdevLookup m_udev;
};

} // namespace mallowby
