#include "Platform/Linux/LinuxMountStats.h"

#include <QFile>
#include <QTemporaryDir>

#include <gtest/gtest.h>

using namespace mallowby;

namespace {

// As the kernel writes it for an NFS mount (abridged), a local mount and a FUSE share.
const char* const stats =
    "device /dev/vda mounted on / with fstype ext4\n"
    "device nas:/export/my\\040files mounted on /mnt/my\\040files with fstype nfs4 statvers=1.1\n"
    "\topts:\trw,vers=4.2,rsize=1048576,wsize=1048576\n"
    "\tevents:\t1 2 3 4 5 6 7 8 9 10 11 12 13 14 15 16 17 18 19 20 21 22 23 24 25 26 27\n"
    "\tbytes:\t1000 5000000 0 0 900 4000000 1 977\n"
    "\tRPC iostats version: 1.1  p/v: 100003/4 (nfs)\n"
    "device sshfs mounted on /mnt/ssh with fstype fuse.sshfs\n"
    "device nas:/other mounted on /mnt/other with fstype nfs statvers=1.1\n"
    "\tbytes:\t1 2 3\n";

} // namespace

TEST(LinuxMountStats, AnNfsShareCountsTheBytesItWroteToTheServer)
{
    EXPECT_EQ(LinuxMountStats::parseBytesWritten(stats, QStringLiteral("/mnt/my files")), std::optional<quint64>(4000000));
    // No count: a local or FUSE mount, a short bytes line, a path that is not mounted.
    EXPECT_FALSE(LinuxMountStats::parseBytesWritten(stats, QStringLiteral("/")));
    EXPECT_FALSE(LinuxMountStats::parseBytesWritten(stats, QStringLiteral("/mnt/ssh")));
    EXPECT_FALSE(LinuxMountStats::parseBytesWritten(stats, QStringLiteral("/mnt/other")));
    EXPECT_FALSE(LinuxMountStats::parseBytesWritten(stats, QStringLiteral("/mnt/my\\040files")));
}

TEST(LinuxMountStats, TheTopMostMountOnAPathCounts)
{
    const QByteArray stacked = QByteArray(stats) + "device sshfs mounted on /mnt/my\\040files with fstype fuse.sshfs\n";
    EXPECT_FALSE(LinuxMountStats::parseBytesWritten(stacked, QStringLiteral("/mnt/my files")));

    QTemporaryDir dir;
    QFile file(dir.filePath(QStringLiteral("mountstats")));
    ASSERT_TRUE(file.open(QIODevice::WriteOnly));
    file.write(stats);
    file.close();
    EXPECT_EQ(LinuxMountStats(file.fileName()).bytesWritten(QStringLiteral("/mnt/my files")), std::optional<quint64>(4000000));
    EXPECT_FALSE(LinuxMountStats(dir.filePath(QStringLiteral("missing"))).bytesWritten(QStringLiteral("/mnt/my files")));
    // The kernel's own file reads; this machine's root is no NFS share.
    EXPECT_FALSE(LinuxMountStats().bytesWritten(QStringLiteral("/")));
}
