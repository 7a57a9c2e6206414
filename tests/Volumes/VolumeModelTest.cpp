#include "Volumes/VolumeStore.h"

#include "support/Printers.h"

#include <gtest/gtest.h>

using namespace mallowby;

namespace {

VolumeStore::Mount mount(const QString& path, const QString& source, const QString& type = "ext4", const QString& root = "/")
{
    return VolumeStore::Mount{.path = path, .source = source, .type = type, .root = root};
}

} // namespace

TEST(VolumeModel, KindsFormatsOrderAndSpace)
{
    EXPECT_EQ(VolumeKind::fromRawValue("diskImage"), VolumeKind::diskImage);
    EXPECT_EQ(VolumeKind::fromRawValue("DiskImage"), std::nullopt);
    const std::optional<QString> image = QStringLiteral("Disk Image"), none;
    const std::optional<bool> unknown;
    // classify(isLocal, isBoot, model, deviceInternal, mediaRemovable): the first matching rule wins.
    const struct { const char* name; VolumeKind got, want; } rows[] = {
        {"not local wins", VolumeKind::classify(false, true, image, false, true), VolumeKind::network},
        {"image even at boot", VolumeKind::classify(true, true, image, unknown, unknown), VolumeKind::diskImage},
        {"boot on an external bus", VolumeKind::classify(true, true, none, false, true), VolumeKind::internal},
        {"external bus", VolumeKind::classify(true, false, none, false, false), VolumeKind::external},
        {"built-in card reader", VolumeKind::classify(true, false, none, true, true), VolumeKind::external},
        {"internal fixed", VolumeKind::classify(true, false, none, true, false), VolumeKind::internal},
        {"nothing known", VolumeKind::classify(true, false, none, unknown, unknown), VolumeKind::internal},
        {"model matches exactly", VolumeKind::classify(true, false, QStringLiteral("disk image"), unknown, unknown), VolumeKind::internal},
    };
    for (const auto& row : rows)
        EXPECT_EQ(row.got, row.want) << row.name;
    EXPECT_EQ(QStringList({Volume::formatName("vfat"), Volume::formatName("Vfat"), Volume::formatName("fuse.sshfs")}),
              QStringList({"FAT", "VFAT", "FUSE.SSHFS"}));

    // By kind, then by name ignoring case; "Beta" and "BETA" keep their order.
    QList<Volume> list;
    for (const auto& [id, kind] : QList<std::pair<QString, VolumeKind>>{
             {"zeta", VolumeKind::internal}, {"Beta", VolumeKind::external}, {"share", VolumeKind::network}, {"alpha", VolumeKind::external},
             {"image", VolumeKind::diskImage}, {"BETA", VolumeKind::external}, {"Äpfel", VolumeKind::internal}}) {
        list << mount("/" + id, id).toVolume({});
        list.last().id = list.last().name = id;
        list.last().kind = kind;
    }
    std::stable_sort(list.begin(), list.end(), &Volume::precedes);
    QStringList ids;
    for (const Volume& v : list)
        ids << v.id;
    EXPECT_EQ(ids, (QStringList{"alpha", "Beta", "BETA", "image", "share", "zeta", "Äpfel"}));
    EXPECT_FALSE(Volume::precedes(list[2], list[1]));

    EXPECT_EQ((Space{.total = 100, .available = 40}).used(), 60);
    EXPECT_DOUBLE_EQ((Space{.total = 100, .available = 40}).usedFraction(), 0.6);
    EXPECT_EQ((Space{.total = 100, .available = 150}).used(), 0);
    EXPECT_DOUBLE_EQ((Space{.total = 0, .available = -5}).usedFraction(), 0.0);
}

TEST(VolumeModel, MountsBecomeVolumes)
{
    const DiskDescription stick{"3A985505-AE1F-4961-98B0-80C279BC1689", "Backup", {}, "  SanDisk Cruzer  ", "USB", false, true},
        paddedImage{{}, {}, {}, "Disk Image   ", {}, {}, {}}, ntfs{{}, {}, "ntfs", {}, {}, {}, {}}, exfat{{}, {}, "exfat", {}, {}, {}, {}};
    const struct {
        const char* name;
        VolumeStore::Mount mount;
        DiskDescription description;
        QString want;  // id|name|bsd name|kind|format|model|protocol|boot
    } rows[] = {
        {"described stick", mount("/run/media/me/Backup", "/dev/sdb1", "vfat"), stick,
         "3A985505-AE1F-4961-98B0-80C279BC1689|Backup|sdb1|external|FAT|SanDisk Cruzer|USB|-"},
        {"no description", mount("/media/usb stick", "/dev/sdc1"), {}, "/dev/sdc1|usb stick|sdc1|internal|EXT4|||-"},
        {"root", mount("/", "/dev/vda"), {}, "/dev/vda|/|vda|internal|EXT4|||boot"},
        {"image model with spaces", mount("/mnt/img", "/dev/loop3"), paddedImage, "/dev/loop3|img|loop3|diskImage|EXT4|Disk Image||-"},
        {"share", {.path = "/mnt/share", .source = "//server/share", .type = "cifs", .isLocal = false}, {},
         "//server/share|share||network|SMB|||-"},
        {"share with a device-like source", {.path = "/mnt/s", .source = "/dev/odd", .type = "smbfs", .isLocal = false}, {},
         "/dev/odd|s|odd|network|SMB|||-"},
        {"fuseblk ntfs", mount("/media/win", "/dev/sdb1", "fuseblk"), ntfs, "/dev/sdb1|win|sdb1|internal|NTFS|||-"},
        {"fuseblk exfat", mount("/media/card", "/dev/sdb1", "fuseblk"), exfat, "/dev/sdb1|card|sdb1|internal|ExFAT|||-"},
        {"fuseblk unknown", mount("/media/card", "/dev/sdb1", "fuseblk"), {}, "/dev/sdb1|card|sdb1|internal|FUSEBLK|||-"},
        {"only FUSE defers to the device", mount("/media/card", "/dev/sdb1"), ntfs, "/dev/sdb1|card|sdb1|internal|EXT4|||-"},
    };
    for (const auto& row : rows) {
        const Volume v = row.mount.toVolume(row.description);
        EXPECT_EQ(QStringList({v.id, v.name, v.bsdName.value_or(""), v.kind.rawValue(), v.format, v.deviceModel.value_or(""),
                               v.deviceProtocol.value_or(""), v.isBoot ? "boot" : "-"})
                      .join('|'),
                  row.want)
            << row.name;
        EXPECT_EQ(v.mountPath, row.mount.path) << row.name;
        EXPECT_FALSE(v.space.has_value()) << row.name;
    }
}

TEST(VolumeModel, DeviceNamesStayBelowDevAndIdsAreUnique)
{
    EXPECT_EQ(mount("/mnt/a", "/dev/mapper/luks-1").bsdName(), QStringLiteral("mapper/luks-1"));
    EXPECT_EQ(mount("/mnt/a", "/dev/md/root").bsdName(), QStringLiteral("md/root"));
    for (const char* source : {"/dev/../mnt/hung/x", "/dev/..", "/dev/mapper/../../tmp", "/dev/./sda1", "/dev/", "/dev//sda1",
                               "/dev/sda1/", "/devices/sda1"})
        EXPECT_EQ(mount("/mnt/a", source).bsdName(), std::nullopt) << source;

    // btrfs subvolumes at / and /home; an image, its whole bind, a folder bind and a second mount
    // over the first; a lone stick. A folder bind beside the whole file system leaves the whole one
    // its UUID, so pins hold.
    const auto at = [](const QString& path, const QString& root) { return mount(path, "/dev/loop3", "ext4", root); };
    EXPECT_EQ(VolumeStore::Mount::uniqueIDs({at("/", "/@"), at("/home", "/@home"), at("/mnt/image", "/"), at("/srv/image", "/"),
                                             at("/photos", "/photos"), at("/mnt/image", "/"), at("/media/stick", "/")},
                                            {"B", "B", "I", "I", "I", "I", "S"}),
              (QStringList{"B:/@", "B:/@home", "I@/mnt/image", "I@/srv/image", "I:/photos", "I@/mnt/image#2", "S"}));
    EXPECT_EQ(VolumeStore::Mount::uniqueIDs({at("/mnt/image", "/"), at("/photos", "/photos")}, {"I", "I"}),
              (QStringList{"I", "I:/photos"}));
}
