#include "Platform/Linux/LinuxMeminfo.h"

#include <QFile>
#include <QTemporaryDir>

#include <gtest/gtest.h>

using namespace mallowby;

TEST(LinuxMeminfo, PendingWritesAreDirtyPlusWritebackInBytes)
{
    // As the kernel lays it out; WritebackTmp and a Dirty-like name must not be taken for them.
    EXPECT_EQ(LinuxMeminfo::parsePendingWrites("MemTotal:       24684544 kB\n"
                                               "DirtyPages:            9 kB\n"
                                               "Dirty:            770064 kB\n"
                                               "Writeback:            56 kB\n"
                                               "WritebackTmp:          7 kB\n"),
              std::optional<quint64>((770064ull + 56) * 1024));
    EXPECT_EQ(LinuxMeminfo::parsePendingWrites("Writeback: 0 kB\nDirty: 0 kB"), std::optional<quint64>(0));
}

TEST(LinuxMeminfo, AMissingOrMalformedLineGivesNothing)
{
    EXPECT_FALSE(LinuxMeminfo::parsePendingWrites("Dirty: 12 kB\nWritebackTmp: 3 kB\n"));
    EXPECT_FALSE(LinuxMeminfo::parsePendingWrites("Dirty: lots kB\nWriteback: 3 kB\n"));
    EXPECT_FALSE(LinuxMeminfo::parsePendingWrites("Dirty: 12 pages\nWriteback: 3 kB\n"));
    EXPECT_FALSE(LinuxMeminfo::parsePendingWrites("Dirty: 99999999999999999999 kB\nWriteback: 3 kB\n"));
    EXPECT_FALSE(LinuxMeminfo::parsePendingWrites(""));
}

TEST(LinuxMeminfo, ReadsTheFileEachTime)
{
    QTemporaryDir dir;
    const QString path = dir.filePath(QStringLiteral("meminfo"));
    const LinuxMeminfo meminfo(path);
    EXPECT_FALSE(meminfo.pendingWrites());
    const auto write = [&](const char* text) {
        QFile file(path);
        ASSERT_TRUE(file.open(QIODevice::WriteOnly | QIODevice::Truncate));
        file.write(text);
    };
    write("Dirty: 1 kB\nWriteback: 1 kB\n");
    EXPECT_EQ(meminfo.pendingWrites(), std::optional<quint64>(2048));
    write("Dirty: 4 kB\nWriteback: 0 kB\n");
    EXPECT_EQ(meminfo.pendingWrites(), std::optional<quint64>(4096));
    // The kernel's own file always has both lines.
    EXPECT_TRUE(LinuxMeminfo().pendingWrites());
}
