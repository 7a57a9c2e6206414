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

TEST(LinuxMountTable, ShownMountsOfEveryFixture)
{
    // What a file browser shows, in table order, as "path" or "path:root" where the root is not "/".
    // Live media and containers: overlay and tmpfs are hidden anywhere but at "/".
    const QList<std::pair<QString, QStringList>> rows{
        {"desktop", {"/", "/run/media/me/My Stick", "/mnt/tab\tand\nnewline\\back", "/mnt/nas", "/home/me/remote", "/mnt/nfs",
                     "/media/Installer"}},
        {"live-overlay", {"/", "/media/user/USB"}},
        {"container-tmpfs", {"/", "/data:/srv/data"}},
        {"root-gvfs-hide", {"/", "/data"}},
        {"btrfs-subvolumes", {"/:/@", "/home:/@home"}},
        {"bind-mounts", {}},
        {"malformed", {}},
        {"empty", {}},
        {"does-not-exist", {}},
        {"partly-broken", {"/"}},
    };
    for (const auto& [name, want] : rows) {
        QStringList paths;
        for (const auto& mount : readFixture(name, false))
            paths << (mount.root == "/" ? mount.path : mount.path + ":" + mount.root);
        if (name != "bind-mounts")
            EXPECT_EQ(paths, want) << name.toStdString();
        else
            EXPECT_TRUE(paths.contains("/srv/image") && paths.contains("/home/me/photos:/photos")) << paths.join(' ').toStdString();
    }
    const auto btrfs = readFixture("btrfs-subvolumes", false);
    EXPECT_EQ(btrfs[0].source, btrfs[1].source);
    const auto live = readFixture("live-overlay", true);
    EXPECT_TRUE(find(live, "/mnt/scratch")->isHidden);
    EXPECT_EQ(find(live, "/")->type, "overlay");
    EXPECT_TRUE(find(readFixture("root-gvfs-hide", true), "/srv/backup")->isHidden);
    EXPECT_TRUE(readFixture("malformed", true).isEmpty());
}

TEST(LinuxMountTable, ReadsFieldsAndMarksSystemMounts)
{
    const auto all = readFixture("desktop", true);
    EXPECT_EQ(all.size(), 17);
    for (const char* path : {"/proc", "/sys", "/dev", "/boot/efi", "/run", "/run/user/1000", "/tmp", "/snap/core22/864",
                             "/run/user/1000/gvfs", "/swapfile-mount"}) {
        const auto* mount = find(all, path);
        ASSERT_NE(mount, nullptr) << path;
        EXPECT_TRUE(mount->isHidden) << path;
    }
    const auto* root = find(all, "/");
    ASSERT_NE(root, nullptr);
    EXPECT_FALSE(root->isHidden);
    EXPECT_EQ(QStringList({root->source, root->type}), QStringList({"/dev/nvme0n1p2", "ext4"}));
    EXPECT_TRUE(root->isLocal);
    EXPECT_EQ(root->device, quint64(makedev(259, 2)));
    const auto* stick = find(all, "/run/media/me/My Stick");
    EXPECT_FALSE(stick->isHidden);
    EXPECT_EQ(stick->device, quint64(makedev(8, 17)));
    EXPECT_EQ(stick->type, "vfat");
    for (const char* path : {"/mnt/nas", "/home/me/remote", "/mnt/nfs"})
        EXPECT_FALSE(find(all, path)->isLocal) << path;
    EXPECT_EQ(find(all, "/mnt/nas")->source, "//nas.local/media");
    EXPECT_TRUE(find(all, "/media/Installer")->isLocal);

    for (const char* path : {"/boot", "/run/user/1000/doc"})
        EXPECT_TRUE(LinuxMountTable::isHiddenPath(path)) << path;
    for (const char* path : {"/", "/run/media/me/x", "/runner", "/bootstrap", "/media/snap"})
        EXPECT_FALSE(LinuxMountTable::isHiddenPath(path)) << path;
    // The live table has the root volume.
    EXPECT_NE(find(VolumeStore::Mount::current(LinuxMountTable(), false), "/"), nullptr);
}
