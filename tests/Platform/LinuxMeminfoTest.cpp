#include "Platform/Linux/LinuxMeminfo.h"

#include <gtest/gtest.h>

using namespace mallowby;

TEST(LinuxMeminfo, PendingWritesAreDirtyPlusWritebackInBytesOrNothing)
{
    // As the kernel lays it out; WritebackTmp and a Dirty-like name must not be taken for them.
    EXPECT_EQ(LinuxMeminfo::parsePendingWrites("MemTotal:       24684544 kB\n"
                                               "DirtyPages:            9 kB\n"
                                               "Dirty:            770064 kB\n"
                                               "Writeback:            56 kB\n"
                                               "WritebackTmp:          7 kB\n"),
              std::optional<quint64>((770064ull + 56) * 1024));
    EXPECT_EQ(LinuxMeminfo::parsePendingWrites("Writeback: 0 kB\nDirty: 0 kB"), std::optional<quint64>(0));
    // A missing or malformed line gives nothing.
    EXPECT_FALSE(LinuxMeminfo::parsePendingWrites("Dirty: 12 kB\nWritebackTmp: 3 kB\n"));
    EXPECT_FALSE(LinuxMeminfo::parsePendingWrites("Dirty: lots kB\nWriteback: 3 kB\n"));
    EXPECT_FALSE(LinuxMeminfo::parsePendingWrites("Dirty: 12 pages\nWriteback: 3 kB\n"));
    EXPECT_FALSE(LinuxMeminfo::parsePendingWrites("Dirty: 99999999999999999999 kB\nWriteback: 3 kB\n"));
    EXPECT_FALSE(LinuxMeminfo::parsePendingWrites(""));
    EXPECT_FALSE(LinuxMeminfo(QStringLiteral("/nonexistent/meminfo")).pendingWrites());
    // The kernel's own file always has both lines.
    EXPECT_TRUE(LinuxMeminfo().pendingWrites());
}
