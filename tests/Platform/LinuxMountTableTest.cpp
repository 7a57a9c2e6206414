#include "Platform/Linux/LinuxMountTable.h"

#include "support/Printers.h"
#include "support/TestEnvironment.h"

#include <gtest/gtest.h>

#include <sys/sysmacros.h>

using namespace mallowby;
using mallowby::test::TestEnvironment;

namespace {

// "path", with ":root" where the root is not "/" and the flags asked for.
QStringList summary(const QString& fixture, bool includeHidden)
{
    QStringList paths;
    for (const auto& m : VolumeStore::Mount::current(LinuxMountTable(TestEnvironment::dataPath("mountinfo/" + fixture)), includeHidden))
        paths << m.path + (m.root == "/" ? "" : ":" + m.root) + (includeHidden && m.isHidden ? " hidden" : "")
                     + (includeHidden && !m.isLocal ? " network" : "");
    return paths;
}

} // namespace

TEST(LinuxMountTable, MountsOfEveryFixture)
{
    // What a file browser shows, in table order; with hidden ones, what is hidden and what is not
    // local. Live media and containers: overlay and tmpfs are hidden anywhere but at "/".
    const QList<std::tuple<QString, bool, QStringList>> rows{
        {"desktop", false, {"/", "/run/media/me/My Stick", "/mnt/tab\tand\nnewline\\back", "/mnt/nas", "/home/me/remote", "/mnt/nfs", "/media/Installer"}},
        {"desktop", true, {"/proc hidden", "/sys hidden", "/dev hidden", "/", "/boot/efi hidden", "/run hidden", "/run/user/1000 hidden",
                           "/tmp hidden", "/snap/core22/864 hidden", "/run/media/me/My Stick", "/mnt/tab\tand\nnewline\\back",
                           "/mnt/nas network", "/home/me/remote network", "/mnt/nfs network", "/run/user/1000/gvfs hidden",
                           "/swapfile-mount hidden", "/media/Installer"}},
        {"live-overlay", false, {"/", "/media/user/USB"}},
        {"container-tmpfs", false, {"/", "/data:/srv/data"}},
        {"root-gvfs-hide", false, {"/", "/data"}},
        {"btrfs-subvolumes", false, {"/:/@", "/home:/@home"}},
        {"malformed", true, {}},
        {"empty", false, {}},
        {"does-not-exist", false, {}},
        {"partly-broken", false, {"/"}},
    };
    for (const auto& [fixture, includeHidden, want] : rows)
        EXPECT_EQ(summary(fixture, includeHidden), want) << fixture.toStdString() << includeHidden;
    const QStringList binds = summary("bind-mounts", false);
    EXPECT_TRUE(binds.contains("/srv/image") && binds.contains("/home/me/photos:/photos")) << binds.join(' ').toStdString();
    EXPECT_TRUE(summary("live-overlay", true).contains("/mnt/scratch hidden"));
    EXPECT_TRUE(summary("root-gvfs-hide", true).contains("/srv/backup hidden"));

    // Fields as the kernel gives them.
    const auto read = [](const QString& fixture, bool includeHidden) {
        return VolumeStore::Mount::current(LinuxMountTable(TestEnvironment::dataPath("mountinfo/" + fixture)), includeHidden);
    };
    const auto desktop = read("desktop", true), btrfs = read("btrfs-subvolumes", false);
    EXPECT_EQ(QStringList({desktop[3].source, desktop[3].type, desktop[9].source, desktop[9].type, desktop[11].source}),
              QStringList({"/dev/nvme0n1p2", "ext4", "/dev/sdb1", "vfat", "//nas.local/media"}));
    EXPECT_EQ(std::make_pair(desktop[3].device, desktop[9].device), std::make_pair(quint64(makedev(259, 2)), quint64(makedev(8, 17))));
    EXPECT_EQ(btrfs[0].source, btrfs[1].source);
    EXPECT_EQ(read("live-overlay", false)[0].type, "overlay");

    for (const auto& [path, hidden] : QList<std::pair<const char*, bool>>{{"/boot", true}, {"/run/user/1000/doc", true}, {"/", false},
                                                                         {"/run/media/me/x", false}, {"/runner", false},
                                                                         {"/bootstrap", false}, {"/media/snap", false}})
        EXPECT_EQ(LinuxMountTable::isHiddenPath(path), hidden) << path;
}
