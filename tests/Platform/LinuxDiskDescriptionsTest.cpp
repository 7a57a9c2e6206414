#include "Platform/Linux/LinuxDiskDescriptions.h"
#include "Platform/Linux/UdevProperties.h"
#include "Volumes/VolumeStore.h"

#include "support/TestEnvironment.h"

#include <gtest/gtest.h>

using namespace mallowby;
using mallowby::test::TestEnvironment;

namespace {

using Properties = QHash<QString, QString>;

// Descriptions of a fixture tree, with udev properties by kernel name.
LinuxDiskDescriptions fixture(const QString& tree, QHash<QString, Properties> udev = {})
{
    return LinuxDiskDescriptions(Sysfs(TestEnvironment::dataPath("sysfs/" + tree)),
                                 [udev](const QString& name, quint64) { return udev.value(name); });
}

} // namespace

TEST(LinuxDiskDescriptions, UsbPartitionTakesBusAndModelFromItsDisk)
{
    const auto withoutUdev = fixture("usb-disk").describe("sdb1");
    ASSERT_TRUE(withoutUdev.has_value());
    EXPECT_EQ(withoutUdev->deviceProtocol, QStringLiteral("USB"));
    EXPECT_EQ(withoutUdev->deviceModel, QStringLiteral("SanDisk Cruzer Blade"));
    EXPECT_EQ(withoutUdev->deviceInternal, false);
    EXPECT_EQ(withoutUdev->mediaRemovable, true);
    EXPECT_EQ(withoutUdev->volumeUUID, std::nullopt);
    EXPECT_EQ(withoutUdev->volumeName, std::nullopt);

    const auto withUdev = fixture("usb-disk", {{"sdb2", {{"ID_FS_UUID", "1a2b-3c4d"}, {"ID_FS_LABEL", "My_Stick"},
                                                         {"ID_FS_LABEL_ENC", "My\\x20Stick"}}},
                                               {"sdb", {{"ID_VENDOR", "SanDisk"}, {"ID_MODEL", "Cruzer_Blade"}}}})
                              .describe("sdb2");
    EXPECT_EQ(withUdev->volumeUUID, QStringLiteral("1A2B-3C4D"));
    EXPECT_EQ(withUdev->volumeName, QStringLiteral("My Stick"));
    EXPECT_EQ(withUdev->deviceModel, QStringLiteral("SanDisk Cruzer Blade"));
}

TEST(LinuxDiskDescriptions, NvmeDiskIsInternalAndFixed)
{
    const auto description = fixture("nvme-internal").describe("nvme0n1p2");
    ASSERT_TRUE(description.has_value());
    EXPECT_EQ(description->deviceProtocol, QStringLiteral("NVMe"));
    EXPECT_EQ(description->deviceModel, QStringLiteral("Samsung SSD 970 EVO Plus 1TB"));
    EXPECT_EQ(description->deviceInternal, true);
    EXPECT_EQ(description->mediaRemovable, false);
}

TEST(LinuxDiskDescriptions, AVirtualMachineDiskHasNoModelButItsBus)
{
    const auto description = fixture("virtio-disk").describe("vda");
    ASSERT_TRUE(description.has_value());
    EXPECT_EQ(description->deviceModel, std::nullopt);  // not the PCI vendor number
    EXPECT_EQ(description->deviceProtocol, QStringLiteral("Virtio"));
    EXPECT_EQ(description->deviceInternal, true);
    EXPECT_EQ(description->mediaRemovable, false);
}

TEST(LinuxDiskDescriptions, SdCardInABuiltInReaderIsRemovableMedia)
{
    const auto description = fixture("sd-card").describe("mmcblk0p1");
    ASSERT_TRUE(description.has_value());
    EXPECT_EQ(description->deviceProtocol, QStringLiteral("Secure Digital"));
    EXPECT_EQ(description->deviceModel, QStringLiteral("SD16G"));
    EXPECT_EQ(description->deviceInternal, true);
    EXPECT_EQ(description->mediaRemovable, true);
    const Volume volume = VolumeStore::Mount{"/media/card", "/dev/mmcblk0p1", "exfat", true, 0, false}.toVolume(*description);
    EXPECT_EQ(volume.kind, VolumeKind::external);
}

TEST(LinuxDiskDescriptions, LoopVolumeIsADiskImageNamedByItsLabel)
{
    const auto description = fixture("loop-image", {{"loop0", {{"ID_FS_UUID", "3a985505-ae1f-4961-98b0-80c279bc1689"},
                                                               {"ID_FS_LABEL", "Installer"},
                                                               {"ID_FS_TYPE", "exfat"}}}})
                                 .describe("loop0");
    ASSERT_TRUE(description.has_value());
    EXPECT_EQ(description->deviceModel, QStringLiteral("Disk Image"));
    EXPECT_EQ(description->deviceInternal, std::nullopt);
    EXPECT_EQ(description->deviceProtocol, std::nullopt);

    // Mounted through exfat-fuse.
    const Volume volume = VolumeStore::Mount{"/media/x", "/dev/loop0", "fuseblk", true, 0, false}.toVolume(*description);
    EXPECT_EQ(volume.format, "ExFAT");
    EXPECT_EQ(volume.kind, VolumeKind::diskImage);
    EXPECT_EQ(volume.name, "Installer");
    EXPECT_EQ(volume.id, "3A985505-AE1F-4961-98B0-80C279BC1689");
}

TEST(LinuxDiskDescriptions, UnknownDevicesHaveNoDescription)
{
    EXPECT_EQ(fixture("usb-disk").describe("sdz9"), std::nullopt);
    EXPECT_EQ(fixture("usb-disk").describe("mapper/nothing"), std::nullopt);
    EXPECT_EQ(fixture("usb-disk").describe("../../etc"), std::nullopt);
    EXPECT_EQ(fixture("usb-disk").describe(""), std::nullopt);
}

TEST(LinuxDiskDescriptions, ProtocolFromTheDevicePath)
{
    const QList<std::pair<QString, std::optional<QString>>> cases{
        {"devices/pci0000:00/0000:00:1f.2/ata1/host0/target0:0:0/0:0:0:0/block/sda", "SATA"},
        {"devices/pci0000:00/0000:00:14.0/usb2/2-1/2-1:1.0/host6/target6:0:0/6:0:0:0/block/sdb", "USB"},
        {"devices/pci0000:00/0000:00:1d.0/0000:3d:00.0/nvme/nvme0/nvme0n1", "NVMe"},
        {"devices/pci0000:00/0000:00:02.0/virtio1/block/vda", "Virtio"},
        {"devices/pci0000:00/0000:00:10.0/host2/target2:0:0/2:0:0:0/block/sdc", "SCSI"},
        {"devices/virtual/block/loop0", std::nullopt},
        {"", std::nullopt},
    };
    for (const auto& [path, protocol] : cases)
        EXPECT_EQ(LinuxDiskDescriptions::protocolOfDevicePath(path), protocol) << path.toStdString();
}

TEST(UdevProperties, DecodesEscapedBytesAsUtf8)
{
    EXPECT_EQ(UdevProperties::decode("My\\x20Stick"), "My Stick");
    EXPECT_EQ(UdevProperties::decode("caf\\xc3\\xa9"), QString::fromUtf8("café"));
    EXPECT_EQ(UdevProperties::decode("trailing\\x2"), "trailing\\x2");
    EXPECT_EQ(UdevProperties::decode("\\xzz"), "\\xzz");
}
