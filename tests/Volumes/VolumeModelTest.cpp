#include "Volumes/VolumeStore.h"

#include "support/Printers.h"

#include <gtest/gtest.h>

using namespace mallowby;

namespace {

Volume named(const QString& name, VolumeKind kind)
{
    Volume volume;
    volume.id = name;
    volume.name = name;
    volume.kind = kind;
    return volume;
}

VolumeStore::Mount deviceMount(const QString& path, const QString& source, const QString& type = QStringLiteral("ext4"))
{
    return VolumeStore::Mount{path, source, type, true, 0, false};
}

} // namespace

TEST(VolumeKind, RawValuesAreCaseSensitive)
{
    EXPECT_EQ(VolumeKind::fromRawValue(QStringLiteral("diskImage")), VolumeKind::diskImage);
    EXPECT_EQ(VolumeKind::fromRawValue(QStringLiteral("DiskImage")), std::nullopt);
    EXPECT_EQ(VolumeKind::fromRawValue(QStringLiteral("")), std::nullopt);
}

TEST(VolumeKind, ClassifyFirstMatchingRuleWins)
{
    const auto model = std::optional<QString>(QStringLiteral("Disk Image"));
    // Not local wins over everything.
    EXPECT_EQ(VolumeKind::classify(false, true, model, false, true), VolumeKind::network);
    // A disk image even when it is the boot volume.
    EXPECT_EQ(VolumeKind::classify(true, true, model, std::nullopt, std::nullopt), VolumeKind::diskImage);
    // Boot is internal even on an external bus.
    EXPECT_EQ(VolumeKind::classify(true, true, std::nullopt, false, true), VolumeKind::internal);
    EXPECT_EQ(VolumeKind::classify(true, false, std::nullopt, false, false), VolumeKind::external);
    // A built-in card reader: internal bus, removable media.
    EXPECT_EQ(VolumeKind::classify(true, false, std::nullopt, true, true), VolumeKind::external);
    EXPECT_EQ(VolumeKind::classify(true, false, std::nullopt, true, false), VolumeKind::internal);
    EXPECT_EQ(VolumeKind::classify(true, false, std::nullopt, std::nullopt, std::nullopt), VolumeKind::internal);
    // The model must match exactly; trimming is the caller's job.
    EXPECT_EQ(VolumeKind::classify(true, false, QStringLiteral("disk image"), std::nullopt, std::nullopt), VolumeKind::internal);
}

TEST(Volume, FormatNamesMatchCaseSensitivelyAndUpperCaseTheRest)
{
    EXPECT_EQ(Volume::formatName("vfat"), "FAT");
    EXPECT_EQ(Volume::formatName("Vfat"), "VFAT");
    EXPECT_EQ(Volume::formatName("fuse.sshfs"), "FUSE.SSHFS");
    EXPECT_EQ(Volume::formatName(""), "");
}

TEST(Volume, OrderIsKindThenLowerCasedNameAndSortIsStable)
{
    QList<Volume> list{
        named("zeta", VolumeKind::internal), named("Beta", VolumeKind::external), named("share", VolumeKind::network),
        named("alpha", VolumeKind::external), named("image", VolumeKind::diskImage), named("BETA", VolumeKind::external),
        named("Äpfel", VolumeKind::internal),
    };
    list[5].id = QStringLiteral("second beta");
    std::stable_sort(list.begin(), list.end(), &Volume::precedes);
    QStringList ids;
    for (const Volume& v : list)
        ids << v.id;
    // "Beta" and "BETA" compare equal lower-cased and keep their order.
    EXPECT_EQ(ids, (QStringList{"alpha", "Beta", "second beta", "image", "share", "zeta", "Äpfel"}));
    EXPECT_FALSE(Volume::precedes(list[1], list[2]));
    EXPECT_FALSE(Volume::precedes(list[2], list[1]));
}

TEST(Space, UsedIsFlooredAndFractionGuardsZeroTotal)
{
    EXPECT_EQ((Space{100, 40, 30, false}).used(), 60);
    EXPECT_DOUBLE_EQ((Space{100, 40, 30, false}).usedFraction(), 0.6);
    EXPECT_EQ((Space{100, 150, 150, false}).used(), 0);
    EXPECT_DOUBLE_EQ((Space{100, 150, 150, false}).usedFraction(), 0.0);
    EXPECT_DOUBLE_EQ((Space{0, 0, 0, false}).usedFraction(), 0.0);
    EXPECT_DOUBLE_EQ((Space{0, -5, 0, false}).usedFraction(), 0.0);
}

TEST(VolumeStoreMount, ConvertsWithADescription)
{
    DiskDescription description;
    description.volumeUUID = QStringLiteral("3A985505-AE1F-4961-98B0-80C279BC1689");
    description.volumeName = QStringLiteral("Backup");
    description.deviceModel = QStringLiteral("  SanDisk Cruzer  ");
    description.deviceProtocol = QStringLiteral("USB");
    description.deviceInternal = false;
    description.mediaRemovable = true;
    const Volume v = deviceMount("/run/media/me/Backup", "/dev/sdb1", "vfat").toVolume(description);
    EXPECT_EQ(v.id, description.volumeUUID);
    EXPECT_EQ(v.name, "Backup");
    EXPECT_EQ(v.mountPath, "/run/media/me/Backup");
    EXPECT_EQ(v.bsdName, QStringLiteral("sdb1"));
    EXPECT_EQ(v.kind, VolumeKind::external);
    EXPECT_EQ(v.format, "FAT");
    EXPECT_EQ(v.deviceProtocol, QStringLiteral("USB"));
    EXPECT_EQ(v.deviceModel, QStringLiteral("SanDisk Cruzer"));
    EXPECT_FALSE(v.isBoot);
    EXPECT_FALSE(v.space.has_value());
}

TEST(VolumeStoreMount, FallsBackWithoutADescription)
{
    const Volume v = deviceMount("/media/usb stick", "/dev/sdc1").toVolume({});
    EXPECT_EQ(v.id, "/dev/sdc1");
    EXPECT_EQ(v.name, "usb stick");
    EXPECT_EQ(v.kind, VolumeKind::internal);  // both flags absent
    EXPECT_EQ(v.deviceModel, std::nullopt);
    EXPECT_EQ(v.deviceProtocol, std::nullopt);

    const Volume root = deviceMount("/", "/dev/vda").toVolume({});
    EXPECT_TRUE(root.isBoot);
    EXPECT_EQ(root.name, "/");
    EXPECT_EQ(root.kind, VolumeKind::internal);
}

TEST(VolumeStoreMount, ModelIsTrimmedBeforeTheDiskImageRule)
{
    DiskDescription description;
    description.deviceModel = QStringLiteral("Disk Image   ");
    EXPECT_EQ(deviceMount("/mnt/img", "/dev/loop3").toVolume(description).kind, VolumeKind::diskImage);
}

TEST(VolumeStoreMount, NetworkShareIsNetworkWhateverItsSource)
{
    const VolumeStore::Mount share{"/mnt/share", "//server/share", "cifs", false, 0, false};
    const Volume v = share.toVolume({});
    EXPECT_EQ(v.kind, VolumeKind::network);
    EXPECT_EQ(v.format, "SMB");
    EXPECT_EQ(v.bsdName, std::nullopt);
    EXPECT_EQ(v.id, "//server/share");
    EXPECT_EQ((VolumeStore::Mount{"/Volumes/s", "/dev/odd", "smbfs", false, 0, false}).toVolume({}).kind,
              VolumeKind::network);
}

TEST(VolumeStoreMount, OnlyNamesBelowDevAreDeviceNames)
{
    EXPECT_EQ(deviceMount("/mnt/a", "/dev/mapper/luks-1").bsdName(), QStringLiteral("mapper/luks-1"));
    EXPECT_EQ(deviceMount("/mnt/a", "/dev/md/root").bsdName(), QStringLiteral("md/root"));
    for (const char* source : {"/dev/../mnt/hung/x", "/dev/..", "/dev/mapper/../../tmp", "/dev/./sda1", "/dev/",
                               "/dev//sda1", "/dev/sda1/", "/devices/sda1"})
        EXPECT_EQ(deviceMount("/mnt/a", source).bsdName(), std::nullopt) << source;
}

TEST(VolumeStoreMount, FuseMountsOfNtfsAndExfatAreNamedByWhatTheDeviceHolds)
{
    DiskDescription ntfs;
    ntfs.fileSystemType = QStringLiteral("ntfs");
    EXPECT_EQ(deviceMount("/media/win", "/dev/sdb1", "fuseblk").toVolume(ntfs).format, "NTFS");
    DiskDescription exfat;
    exfat.fileSystemType = QStringLiteral("exfat");
    EXPECT_EQ(deviceMount("/media/card", "/dev/sdb1", "fuseblk").toVolume(exfat).format, "ExFAT");
    EXPECT_EQ(deviceMount("/media/card", "/dev/sdb1", "fuseblk").toVolume({}).format, "FUSEBLK");
    // Only a FUSE block mount defers to the device.
    EXPECT_EQ(deviceMount("/media/card", "/dev/sdb1", "ext4").toVolume(ntfs).format, "EXT4");
}

TEST(VolumeStoreMount, IdsAreUniqueAndKeepTheUuidWhereItIsAlone)
{
    const auto mount = [](const QString& path, const QString& root) {
        VolumeStore::Mount m = deviceMount(path, "/dev/loop3");
        m.root = root;
        return m;
    };
    // btrfs subvolumes at / and /home; an image, its whole bind, a folder bind and a second mount
    // over the first; a lone stick.
    const QList<VolumeStore::Mount> mounts{mount("/", "/@"),           mount("/home", "/@home"),
                                           mount("/mnt/image", "/"),   mount("/srv/image", "/"),
                                           mount("/photos", "/photos"), mount("/mnt/image", "/"),
                                           mount("/media/stick", "/")};
    const QStringList base{"B", "B", "I", "I", "I", "I", "S"};
    EXPECT_EQ(VolumeStore::Mount::uniqueIDs(mounts, base),
              (QStringList{"B:/@", "B:/@home", "I@/mnt/image", "I@/srv/image", "I:/photos", "I@/mnt/image#2", "S"}));
    // A bind of a folder beside the whole file system leaves the whole one its UUID, so pins hold.
    EXPECT_EQ(VolumeStore::Mount::uniqueIDs({mount("/mnt/image", "/"), mount("/photos", "/photos")}, {"I", "I"}),
              (QStringList{"I", "I:/photos"}));
}
