#pragma once

#include <QString>
#include <QStringList>

#include <optional>

namespace mallowby {

// Read-only view of the kernel's block-device tree under a sysfs root ("/sys", or a fixture
// tree in tests). Reads only kernel attributes, never a volume, so it does not block.
class Sysfs {
public:
    explicit Sysfs(QString root = QStringLiteral("/sys"));

    const QString& root() const { return m_root; }

    // Walks over slaves/holders stop after this many visits, whatever loops the tree has.
    static constexpr int visitLimit = 63;

    // The kernel name ("sdb1", "dm-0") of a device named below /dev ("sdb1", "mapper/cryptusb").
    std::optional<QString> kernelName(const QString& devName) const;

    bool exists(const QString& name) const;
    // A file below the device's sysfs directory, trimmed; none when unreadable.
    std::optional<QString> attribute(const QString& name, const QString& relativePath) const;
    // The same with only the final line break removed, for values such as paths.
    std::optional<QString> line(const QString& name, const QString& relativePath) const;
    bool isPartition(const QString& name) const;
    // The whole disk a partition belongs to; the name itself for a whole disk.
    QString wholeDisk(const QString& name) const;
    QStringList slaves(const QString& name) const;
    QStringList holders(const QString& name) const;
    // The partitions of a whole disk, in name order.
    QStringList partitions(const QString& disk) const;
    // A device-mapper or md device: a disk made of other disks rather than a physical one.
    bool isStacked(const QString& name) const;
    // The whole disks with no slaves below a device (through partitions, dm and md), in order.
    // Each disk is visited once, and at most visitLimit disks in all.
    QStringList physicalDisks(const QString& name) const;
    // The device number "major:minor" as dev_t.
    std::optional<quint64> deviceNumber(const QString& name) const;
    // The resolved device directory relative to the root, e.g. "devices/pci…/usb2/…/block/sdb".
    QString devicePath(const QString& name) const;
    // All block devices the kernel lists.
    QStringList blockDevices() const;

private:
    QString classPath(const QString& name) const;
    QStringList links(const QString& name, const QString& folder) const;

    QString m_root;
};

} // namespace mallowby
