#include "Platform/Linux/LinuxDiskDescriptions.h"

#include "Platform/Linux/UdevProperties.h"


namespace mallowby {

namespace {

std::optional<QString> property(const QHash<QString, QString>& udev, const QString& encodedKey, const QString& key)
{
    if (const auto value = udev.value(encodedKey); !value.isEmpty())
        return UdevProperties::decode(value).trimmed();
    if (const auto value = udev.value(key); !value.isEmpty())
        return value.trimmed();
    return std::nullopt;
}

} // namespace

LinuxDiskDescriptions::LinuxDiskDescriptions(Sysfs sysfs, UdevLookup udev)
    : m_sysfs(std::move(sysfs)), m_udev(std::move(udev))
{
}

LinuxDiskDescriptions::UdevLookup LinuxDiskDescriptions::realUdev()
{
    return [](const QString&, quint64 deviceNumber) { return UdevProperties::ofBlockDevice(deviceNumber); };
}

std::optional<QString> LinuxDiskDescriptions::protocolOfDevicePath(const QString& devicePath)
{
    static const QList<std::pair<QString, QString>> buses{
        {QStringLiteral("/usb"), QStringLiteral("USB")},
        {QStringLiteral("/thunderbolt"), QStringLiteral("Thunderbolt")},
        {QStringLiteral("/firewire"), QStringLiteral("FireWire")},
        {QStringLiteral("/fw"), QStringLiteral("FireWire")},
        {QStringLiteral("/mmc"), QStringLiteral("Secure Digital")},
        {QStringLiteral("/nvme"), QStringLiteral("NVMe")},
        {QStringLiteral("/virtio"), QStringLiteral("Virtio")},
        {QStringLiteral("/ata"), QStringLiteral("SATA")},
        {QStringLiteral("/host"), QStringLiteral("SCSI")},
    };
    if (devicePath.isEmpty() || devicePath.startsWith(QLatin1String("devices/virtual/")))
        return std::nullopt;
    for (const auto& [marker, protocol] : buses)
        if (devicePath.contains(marker))
            return protocol;
    return std::nullopt;
}

std::optional<QString> LinuxDiskDescriptions::model(const QString& disk, const QHash<QString, QString>& udev) const
{
    if (disk.startsWith(QLatin1String("loop")))
        return QStringLiteral("Disk Image");
    QStringList parts;
    auto vendor = property(udev, QStringLiteral("ID_VENDOR_ENC"), QStringLiteral("ID_VENDOR"));
    auto model = property(udev, QStringLiteral("ID_MODEL_ENC"), QStringLiteral("ID_MODEL"));
    if (!model) {
        vendor = m_sysfs.attribute(disk, QStringLiteral("device/vendor"));
        model = m_sysfs.attribute(disk, QStringLiteral("device/model"));
        if (!model)
            model = m_sysfs.attribute(disk, QStringLiteral("device/name"));  // MMC cards
    }
    // ATA disks report the bus as their vendor and virtio disks a PCI vendor number: neither names anything.
    if (vendor && !vendor->isEmpty() && *vendor != QLatin1String("ATA") && !vendor->startsWith(QLatin1String("0x")))
        parts.append(vendor->replace(QLatin1Char('_'), QLatin1Char(' ')));
    if (model && !model->isEmpty())
        parts.append(model->replace(QLatin1Char('_'), QLatin1Char(' ')));
    if (parts.isEmpty())
        return std::nullopt;
    return parts.join(QLatin1Char(' ')).simplified();
}

std::optional<DiskDescription> LinuxDiskDescriptions::describe(const QString& bsdName) const
{
    const auto name = m_sysfs.kernelName(bsdName);
    if (!name)
        return std::nullopt;

    DiskDescription description;
    const auto deviceNumber = m_sysfs.deviceNumber(*name);
    const auto volumeUdev = m_udev ? m_udev(*name, deviceNumber.value_or(0)) : QHash<QString, QString>{};
    if (const auto uuid = volumeUdev.value(QStringLiteral("ID_FS_UUID")); !uuid.isEmpty())
        description.volumeUUID = uuid.toUpper();
    description.volumeName = property(volumeUdev, QStringLiteral("ID_FS_LABEL_ENC"), QStringLiteral("ID_FS_LABEL"));
    if (const auto type = volumeUdev.value(QStringLiteral("ID_FS_TYPE")); !type.isEmpty())
        description.fileSystemType = type;

    const QStringList physical = m_sysfs.physicalDisks(*name);
    if (physical.isEmpty())
        return description;
    const QString& disk = physical.first();
    const auto diskUdev = m_udev ? m_udev(disk, m_sysfs.deviceNumber(disk).value_or(0)) : QHash<QString, QString>{};

    description.deviceModel = model(disk, diskUdev);
    if (disk.startsWith(QLatin1String("loop")))
        return description;

    description.deviceProtocol = protocolOfDevicePath(m_sysfs.devicePath(disk));
    const QString protocol = description.deviceProtocol.value_or(QString());
    description.deviceInternal = protocol != QLatin1String("USB") && protocol != QLatin1String("FireWire")
                                 && protocol != QLatin1String("Thunderbolt");
    if (const auto removable = m_sysfs.attribute(disk, QStringLiteral("removable")))
        description.mediaRemovable = *removable == QLatin1String("1");
    // An SD card is removable media even where the reader reports it as fixed.
    if (protocol == QLatin1String("Secure Digital") && m_sysfs.attribute(disk, QStringLiteral("device/type")) == QLatin1String("SD"))
        description.mediaRemovable = true;
    return description;
}

} // namespace mallowby
