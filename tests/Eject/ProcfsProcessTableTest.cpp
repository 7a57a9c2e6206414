#include "Platform/Linux/ProcfsProcessTable.h"

#include "support/TestEnvironment.h"

#include <gtest/gtest.h>

#include <sys/sysmacros.h>

using namespace mallowby;
using mallowby::test::TestEnvironment;

namespace {

ProcfsProcessTable odd(uid_t uid = 1000)
{
    return ProcfsProcessTable(TestEnvironment::dataPath(QStringLiteral("proc-odd")), uid);
}

} // namespace

TEST(ProcfsProcessTable, OnlyTheUsersNumberedProcessesWithAReadableUidAreListed)
{
    EXPECT_EQ(odd().userProcesses(), QList<qint32>{4242});
    EXPECT_EQ(odd(1001).userProcesses(), QList<qint32>{4243});
    EXPECT_EQ(odd().owner(4244), std::nullopt);
    EXPECT_TRUE(ProcfsProcessTable(QStringLiteral("/nonexistent")).userProcesses().isEmpty());
}

TEST(ProcfsProcessTable, StatFieldsAfterACommandNameWithParenthesesAndSpaces)
{
    const auto table = odd();
    EXPECT_EQ(table.parent(4242), 4100);
    EXPECT_EQ(table.startTime(4242), 987654u);
    EXPECT_EQ(table.commandName(4242), QStringLiteral("my (odd) prog) x"));
    EXPECT_EQ(table.startTime(4244), 1000u);
    EXPECT_EQ(table.startTime(9999), std::nullopt);
    EXPECT_EQ(table.parent(9999), std::nullopt);
}

TEST(ProcfsProcessTable, MappedFilesWithSpacesDeletedMarksAndHexadecimalDevices)
{
    const auto table = odd();
    const QList<ProcessTable::FileRef> expected{
        {"/usr/bin/odd prog", makedev(0x103, 0x0a)},
        {"/usr/bin/odd prog", makedev(0x103, 0x0a)},
        {"/run/media/me/My Stick/notes (draft).txt", makedev(0xfd, 0x01)},
        {"/run/media/me/My Stick/lib/libthing.so", makedev(0x08, 0x11)},
    };
    EXPECT_EQ(table.mappedFiles(4242, 100), expected) << "anonymous regions and a malformed device are skipped";
    EXPECT_EQ(table.mappedFiles(4242, 4), expected.mid(0, 3)) << "the limit counts the regions walked";
    EXPECT_TRUE(table.mappedFiles(4243, 100).isEmpty());
}
