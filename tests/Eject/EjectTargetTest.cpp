#include "Eject/EjectTarget.h"
#include "Platform/Linux/LinuxBlockRegistry.h"

#include "support/FakeVolumePlatform.h"
#include "support/TestEnvironment.h"

#include <gtest/gtest.h>

using namespace mallowby;
using namespace mallowby::test;

namespace {

LinuxBlockRegistry fixture(const QString& tree)
{
    return LinuxBlockRegistry(Sysfs(TestEnvironment::dataPath("sysfs/" + tree)));
}

EjectTarget driveOf(const LinuxBlockRegistry& registry, const QString& disk)
{
    return EjectTarget{disk, disk, VolumeKind::external, registry.members(disk), std::nullopt};
}

} // namespace

TEST(EjectTarget, StackedDisksOnAUsbDriveComeBeforeItTopFirst)
{
    // LUKS on sdc1 opened as dm-0, LVM inside it as dm-1, mounted from dm-1.
    const auto registry = fixture("usb-luks");
    FakeVolumePlatform::Table table;
    table.mounts = {FakeVolumePlatform::mount("/", "/dev/nvme0n1p2"), FakeVolumePlatform::mount("/media/home", "/dev/mapper/vgbackup-home")};
    const EjectTarget target = driveOf(registry, "sdc");
    ASSERT_EQ(target.members.size(), 1);

    EXPECT_EQ(target.dependentWholeDisks(table, registry), (QStringList{"dm-1", "dm-0"}));
    const auto mounts = target.mounts(table, registry);
    ASSERT_EQ(mounts.size(), 1);
    EXPECT_EQ(mounts[0].path, "/media/home");
}

TEST(EjectTarget, ADiskFoundBelowAMemberAndThroughAMountIsListedOnce)
{
    const auto registry = fixture("usb-luks");
    FakeVolumePlatform::Table table;
    // dm-0 is both stacked on the member and the whole disk of a mount.
    table.mounts = {FakeVolumePlatform::mount("/media/crypt", "/dev/dm-0"), FakeVolumePlatform::mount("/media/raw", "/dev/sdc1")};
    const EjectTarget target = driveOf(registry, "sdc");
    EXPECT_EQ(target.dependentWholeDisks(table, registry), (QStringList{"dm-1", "dm-0"}));
    EXPECT_EQ(target.mounts(table, registry).size(), 2);
}

TEST(EjectTarget, ANetworkShareOwnsOnlyItsMountPoint)
{
    const auto registry = fixture("usb-luks");
    FakeVolumePlatform::Table table;
    table.mounts = {VolumeStore::Mount{"/mnt/nas", "//nas/media", "cifs", false, 0, false},
                    VolumeStore::Mount{"/mnt/nas/sub", "//nas/other", "cifs", false, 0, false}};
    Volume share;
    share.id = QStringLiteral("//nas/media");
    share.name = QStringLiteral("nas");
    share.kind = VolumeKind::network;
    share.mountPath = QStringLiteral("/mnt/nas");
    const EjectTarget target = EjectTarget::fromNetworkVolume(share);
    EXPECT_EQ(target.networkMountPath, QStringLiteral("/mnt/nas"));
    EXPECT_TRUE(target.members.isEmpty());
    const auto mounts = target.mounts(table, registry);
    ASSERT_EQ(mounts.size(), 1);
    EXPECT_EQ(mounts[0].source, "//nas/media");
    EXPECT_TRUE(target.dependentWholeDisks(table, registry).isEmpty());
}
