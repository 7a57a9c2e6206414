#pragma once

#include "Platform/BlockRegistry.h"
#include "Platform/Linux/Sysfs.h"

#include <optional>

namespace mallowby {

// The block registry over sysfs: a partition leads to its whole disk, dm and md devices lead
// through slaves/ to the physical disks below them, and holders/ lead up to what is stacked on
// a disk. A disk's driver ID is its diskseq (new for every attachment), or its device number
// where the kernel has no diskseq. Attached images are the loop devices' backing files.
class LinuxBlockRegistry final : public BlockRegistry {
public:
    explicit LinuxBlockRegistry(Sysfs sysfs = Sysfs());

    QList<BlockDevice> members(const QString& bsdName) const override;
    QStringList wholeMediaBelow(const QString& bsdName) const override;
    std::optional<QString> wholeDisk(const QString& bsdName) const override;
    std::unique_ptr<BlockDriver> open(const BlockDevice& device) const override;
    QList<AttachedImage> attachedImages() const override;

    static std::optional<quint64> driverID(const Sysfs& sysfs, const QString& disk);

private:
    Sysfs m_sysfs;
};

} // namespace mallowby
