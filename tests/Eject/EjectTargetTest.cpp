#include "Eject/EjectTarget.h"
#include "Platform/Linux/LinuxBlockRegistry.h"

#include "support/FakeVolumePlatform.h"
#include "support/TestEnvironment.h"

#include <gtest/gtest.h>

using namespace mallowby;
using namespace mallowby::test;

TEST(EjectTarget, StackedDisksComeTopFirstOnceAndAShareOwnsOnlyItsMountPoint)
{
    // LUKS on sdc1 opened as dm-0, LVM inside it as dm-1.
    const LinuxBlockRegistry registry(Sysfs(TestEnvironment::dataPath("sysfs/usb-luks")));
    const EjectTarget stick{"sdc", "sdc", VolumeKind::external, registry.members("sdc"), std::nullopt};
    ASSERT_EQ(stick.members.size(), 1);
    FakeVolumePlatform::Table table;
    table.mounts = {FakeVolumePlatform::mount("/", "/dev/nvme0n1p2"), FakeVolumePlatform::mount("/media/home", "/dev/mapper/vgbackup-home")};
    EXPECT_EQ(stick.dependentWholeDisks(table, registry), (QStringList{"dm-1", "dm-0"}));
    ASSERT_EQ(stick.mounts(table, registry).size(), 1);
    EXPECT_EQ(stick.mounts(table, registry)[0].path, "/media/home");
    // dm-0 is both stacked on the member and the whole disk of a mount: listed once.
    table.mounts = {FakeVolumePlatform::mount("/media/crypt", "/dev/dm-0"), FakeVolumePlatform::mount("/media/raw", "/dev/sdc1")};
    EXPECT_EQ(stick.dependentWholeDisks(table, registry), (QStringList{"dm-1", "dm-0"}));
    EXPECT_EQ(stick.mounts(table, registry).size(), 2);

    table.mounts = {VolumeStore::Mount{"/mnt/nas", "//nas/media", "cifs", false, 0, false},
                    VolumeStore::Mount{"/mnt/nas/sub", "//nas/other", "cifs", false, 0, false}};
    Volume share;
    share.id = QStringLiteral("//nas/media");
    share.kind = VolumeKind::network;
    share.mountPath = QStringLiteral("/mnt/nas");
    const EjectTarget target = EjectTarget::fromNetworkVolume(share);
    EXPECT_TRUE(target.members.isEmpty());
    const auto mounts = target.mounts(table, registry);
    ASSERT_EQ(mounts.size(), 1);
    EXPECT_EQ(mounts[0].source, "//nas/media");
    EXPECT_TRUE(target.dependentWholeDisks(table, registry).isEmpty());
}
