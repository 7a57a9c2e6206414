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

QString text(const std::optional<QString>& value) { return value.value_or("-"); }
QString text(const std::optional<bool>& value) { return value ? (*value ? "yes" : "no") : "-"; }

} // namespace

TEST(LinuxDiskDescriptions, DescribesEveryFixture)
{
    const Properties stickDisk{{"ID_VENDOR", "SanDisk"}, {"ID_MODEL", "Cruzer_Blade"}};
    const Properties stick{{"ID_FS_UUID", "1a2b-3c4d"}, {"ID_FS_LABEL", "My_Stick"}, {"ID_FS_LABEL_ENC", "My\\x20Stick"}};
    const Properties image{{"ID_FS_UUID", "3a985505-ae1f-4961-98b0-80c279bc1689"}, {"ID_FS_LABEL", "Installer"}, {"ID_FS_TYPE", "exfat"}};
    const struct {
        const char* tree;
        QString name;
        QHash<QString, Properties> udev;
        QString want;  // uuid|label|file system|model|protocol|internal|removable
    } rows[] = {
        {"usb-disk", "sdb1", {}, "-|-|-|SanDisk Cruzer Blade|USB|no|yes"},
        {"usb-disk", "sdb2", {{"sdb2", stick}, {"sdb", stickDisk}}, "1A2B-3C4D|My Stick|-|SanDisk Cruzer Blade|USB|no|yes"},
        {"nvme-internal", "nvme0n1p2", {}, "-|-|-|Samsung SSD 970 EVO Plus 1TB|NVMe|yes|no"},
        {"virtio-disk", "vda", {}, "-|-|-|-|Virtio|yes|no"},  // no PCI vendor number as model
        {"sd-card", "mmcblk0p1", {}, "-|-|-|SD16G|Secure Digital|yes|yes"},
        {"loop-image", "loop0", {{"loop0", image}}, "3A985505-AE1F-4961-98B0-80C279BC1689|Installer|exfat|Disk Image|-|-|-"},
        {"usb-disk", "sdz9", {}, "none"},
        {"usb-disk", "mapper/nothing", {}, "none"},
        {"usb-disk", "../../etc", {}, "none"},
        {"usb-disk", "", {}, "none"},
    };
    for (const auto& row : rows) {
        const auto d = fixture(row.tree, row.udev).describe(row.name);
        EXPECT_EQ(d ? QStringList({text(d->volumeUUID), text(d->volumeName), text(d->fileSystemType), text(d->deviceModel),
                                   text(d->deviceProtocol), text(d->deviceInternal), text(d->mediaRemovable)})
                          .join('|')
                    : "none",
                  row.want)
            << row.tree << ' ' << row.name.toStdString();
    }
    // A card in a built-in reader is an external volume; an image mounted through exfat-fuse is
    // named and formatted from what the device holds.
    const VolumeStore::Mount card{.path = "/media/card", .source = "/dev/mmcblk0p1", .type = "exfat"};
    EXPECT_EQ(card.toVolume(*fixture("sd-card").describe("mmcblk0p1")).kind, VolumeKind::external);
    const VolumeStore::Mount imageMount{.path = "/media/x", .source = "/dev/loop0", .type = "fuseblk"};
    const Volume volume = imageMount.toVolume(*fixture("loop-image", {{"loop0", image}}).describe("loop0"));
    EXPECT_EQ(QStringList({volume.format, volume.kind.rawValue(), volume.name, volume.id}),
              QStringList({"ExFAT", "diskImage", "Installer", "3A985505-AE1F-4961-98B0-80C279BC1689"}));
}

TEST(LinuxDiskDescriptions, ProtocolFromTheDevicePathAndEscapedUdevValues)
{
    const QList<std::pair<QString, std::optional<QString>>> cases{
        {"devices/pci0000:00/0000:00:1f.2/ata1/host0/target0:0:0/0:0:0:0/block/sda", "SATA"},
        {"devices/pci0000:00/0000:00:10.0/host2/target2:0:0/2:0:0:0/block/sdc", "SCSI"},
        {"devices/virtual/block/loop0", std::nullopt},
        {"", std::nullopt},
    };
    for (const auto& [path, protocol] : cases)  // USB, NVMe and Virtio: the fixtures above
        EXPECT_EQ(LinuxDiskDescriptions::protocolOfDevicePath(path), protocol) << path.toStdString();
    // Escaped bytes are UTF-8; a broken escape stays as it is.
    for (const auto& [raw, want] : QList<std::pair<QString, QString>>{
             {"My\\x20Stick", "My Stick"}, {"caf\\xc3\\xa9", "café"}, {"trailing\\x2", "trailing\\x2"}, {"\\xzz", "\\xzz"}})
        EXPECT_EQ(UdevProperties::decode(raw), want) << raw.toStdString();
}
