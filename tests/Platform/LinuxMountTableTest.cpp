#include "Platform/Linux/LinuxMountTable.h"

#include "support/FakeVolumePlatform.h"
#include "support/TestEnvironment.h"

#include <gtest/gtest.h>

#include <sys/sysmacros.h>

using namespace mallowby;
using mallowby::test::TestEnvironment;

namespace {

QList<VolumeStore::Mount> readFixture(const QString& name, bool includeHidden)
{
    return VolumeStore::Mount::current(LinuxMountTable(TestEnvironment::dataPath("mountinfo/" + name)), includeHidden);
}

const VolumeStore::Mount* find(const QList<VolumeStore::Mount>& mounts, const QString& path)
{
    for (const auto& mount : mounts)
        if (mount.path == path)
            return &mount;
    return nullptr;
}

} // namespace

TEST(LinuxMountTable, ShowsWhatAFileBrowserShowsInTableOrder)
{
    QStringList paths;
    for (const auto& mount : readFixture("desktop", false))
        paths << mount.path;
    EXPECT_EQ(paths, (QStringList{"/", "/run/media/me/My Stick", "/mnt/tab\tand\nnewline\\back", "/mnt/nas",
                                  "/home/me/remote", "/mnt/nfs", "/media/Installer"}));
}

TEST(LinuxMountTable, IncludesHiddenSystemMountsWhenAsked)
{
    const auto all = readFixture("desktop", true);
    EXPECT_EQ(all.size(), 17);
    for (const char* path : {"/proc", "/sys", "/dev", "/boot/efi", "/run", "/run/user/1000", "/tmp", "/snap/core22/864",
                                "/run/user/1000/gvfs", "/swapfile-mount"}) {
        const auto* mount = find(all, path);
        ASSERT_NE(mount, nullptr) << path;
        EXPECT_TRUE(mount->isHidden) << path;
    }
    EXPECT_FALSE(find(all, "/")->isHidden);
    EXPECT_FALSE(find(all, "/run/media/me/My Stick")->isHidden);
}

TEST(LinuxMountTable, ReadsSourceTypeDeviceAndLocality)
{
    const auto mounts = readFixture("desktop", false);
    const auto* root = find(mounts, "/");
    ASSERT_NE(root, nullptr);
    EXPECT_EQ(root->source, "/dev/nvme0n1p2");
    EXPECT_EQ(root->type, "ext4");
    EXPECT_TRUE(root->isLocal);
    EXPECT_EQ(root->device, quint64(makedev(259, 2)));

    const auto* stick = find(mounts, "/run/media/me/My Stick");
    EXPECT_EQ(stick->device, quint64(makedev(8, 17)));
    EXPECT_EQ(stick->type, "vfat");

    for (const char* path : {"/mnt/nas", "/home/me/remote", "/mnt/nfs"})
        EXPECT_FALSE(find(mounts, path)->isLocal) << path;
    EXPECT_EQ(find(mounts, "/mnt/nas")->source, "//nas.local/media");
    EXPECT_TRUE(find(mounts, "/media/Installer")->isLocal);
}

TEST(LinuxMountTable, RootIsNeverHiddenAndSystemTreesAre)
{
    EXPECT_FALSE(LinuxMountTable::isHiddenPath("/"));
    EXPECT_TRUE(LinuxMountTable::isHiddenPath("/boot"));
    EXPECT_TRUE(LinuxMountTable::isHiddenPath("/run/user/1000/doc"));
    EXPECT_FALSE(LinuxMountTable::isHiddenPath("/run/media/me/x"));
    EXPECT_FALSE(LinuxMountTable::isHiddenPath("/runner"));
    EXPECT_FALSE(LinuxMountTable::isHiddenPath("/bootstrap"));
    EXPECT_FALSE(LinuxMountTable::isHiddenPath("/media/snap"));
}

TEST(LinuxMountTable, RootIsShownWhateverItIsMadeOfOrMarkedWith)
{
    // Live media and containers: overlay and tmpfs are hidden anywhere but at "/".
    const QHash<QString, QStringList> shown{
        {"live-overlay", {"/", "/media/user/USB"}},
        {"container-tmpfs", {"/", "/data"}},
        {"root-gvfs-hide", {"/", "/data"}},
    };
    for (auto it = shown.cbegin(); it != shown.cend(); ++it) {
        QStringList paths;
        for (const auto& mount : readFixture(it.key(), false))
            paths << mount.path;
        EXPECT_EQ(paths, it.value()) << it.key().toStdString();
    }
    const auto all = readFixture("live-overlay", true);
    EXPECT_TRUE(find(all, "/mnt/scratch")->isHidden);
    EXPECT_EQ(find(all, "/")->type, "overlay");
    EXPECT_TRUE(find(readFixture("root-gvfs-hide", true), "/srv/backup")->isHidden);
}

TEST(LinuxMountTable, MountsOfOneFileSystemKeepTheirRoots)
{
    const auto btrfs = readFixture("btrfs-subvolumes", false);
    ASSERT_EQ(btrfs.size(), 2);
    EXPECT_EQ(btrfs[0].root, "/@");
    EXPECT_EQ(btrfs[1].root, "/@home");
    EXPECT_EQ(btrfs[0].source, btrfs[1].source);
    const auto binds = readFixture("bind-mounts", false);
    EXPECT_EQ(find(binds, "/srv/image")->root, "/");
    EXPECT_EQ(find(binds, "/home/me/photos")->root, "/photos");
}

TEST(LinuxMountTable, BrokenInputGivesWhatCanBeReadAndNeverFails)
{
    EXPECT_TRUE(readFixture("malformed", true).isEmpty());
    EXPECT_TRUE(readFixture("empty", true).isEmpty());
    EXPECT_TRUE(readFixture("does-not-exist", true).isEmpty());
    const auto partly = readFixture("partly-broken", false);
    ASSERT_EQ(partly.size(), 1);
    EXPECT_EQ(partly[0].path, "/");
}

TEST(LinuxMountTable, TheLiveTableHasTheRootVolume)
{
    const auto mounts = VolumeStore::Mount::current(LinuxMountTable(), false);
    ASSERT_FALSE(mounts.isEmpty());
    EXPECT_NE(find(mounts, "/"), nullptr);
}
