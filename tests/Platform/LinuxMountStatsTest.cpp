#include "Platform/Linux/LinuxMountStats.h"

#include <QFile>
#include <QTemporaryDir>

#include <gtest/gtest.h>

using namespace mallowby;

TEST(LinuxMountStats, AnNfsShareCountsTheBytesItWroteToTheServer)
{
    // As the kernel writes it for an NFS mount (abridged), a local mount and a FUSE share.
    const QByteArray stats = "device /dev/vda mounted on / with fstype ext4\n"
                             "device nas:/export/my\\040files mounted on /mnt/my\\040files with fstype nfs4 statvers=1.1\n"
                             "\topts:\trw,vers=4.2,rsize=1048576,wsize=1048576\n"
                             "\tevents:\t1 2 3 4 5 6 7 8 9 10 11 12 13 14 15 16 17 18 19 20 21 22 23 24 25 26 27\n"
                             "\tbytes:\t1000 5000000 0 0 900 4000000 1 977\n"
                             "\tRPC iostats version: 1.1  p/v: 100003/4 (nfs)\n"
                             "device sshfs mounted on /mnt/ssh with fstype fuse.sshfs\n"
                             "device nas:/other mounted on /mnt/other with fstype nfs statvers=1.1\n"
                             "\tbytes:\t1 2 3\n";
    // No count: a local or FUSE mount, a short bytes line, an escaped or unmounted path, an NFS
    // share with another mount on top.
    const QByteArray stacked = stats + "device sshfs mounted on /mnt/my\\040files with fstype fuse.sshfs\n";
    const QList<std::tuple<QByteArray, QString, std::optional<quint64>>> rows{
        {stats, "/mnt/my files", 4000000}, {stats, "/", std::nullopt},         {stats, "/mnt/ssh", std::nullopt},
        {stats, "/mnt/other", std::nullopt}, {stats, "/mnt/my\\040files", std::nullopt}, {stacked, "/mnt/my files", std::nullopt}};
    for (const auto& [text, path, want] : rows)
        EXPECT_EQ(LinuxMountStats::parseBytesWritten(text, path), want) << path.toStdString() << (text == stacked ? " stacked" : "");

    QTemporaryDir dir;
    QFile file(dir.filePath("mountstats"));
    ASSERT_TRUE(file.open(QIODevice::WriteOnly) && file.write(stats) == stats.size() && file.flush());
    EXPECT_EQ(LinuxMountStats(file.fileName()).bytesWritten("/mnt/my files"), std::optional<quint64>(4000000));
    EXPECT_FALSE(LinuxMountStats(dir.filePath("missing")).bytesWritten("/mnt/my files"));
    // The kernel's own file reads; this machine's root is no NFS share.
    EXPECT_FALSE(LinuxMountStats().bytesWritten("/"));
}
