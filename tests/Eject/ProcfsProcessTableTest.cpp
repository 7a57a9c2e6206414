#include "Platform/Linux/ProcfsProcessTable.h"

#include "support/TestEnvironment.h"

#include <QFileInfo>

#include <gtest/gtest.h>

#include <sys/sysmacros.h>

using namespace mallowby;
using mallowby::test::TestEnvironment;
using File = ProcessTable::FileRef;

namespace {

ProcfsProcessTable odd(uid_t uid = 1000)
{
    return ProcfsProcessTable(TestEnvironment::dataPath(QStringLiteral("proc-odd")), uid);
}

} // namespace

TEST(ProcfsProcessTable, FixtureListingStatFieldsAndMaps)
{
    const uid_t owner = QFileInfo(TestEnvironment::dataPath(QStringLiteral("proc-odd/4242"))).ownerId();
    EXPECT_EQ(odd(owner).processes(), (QList<ProcessTable::Listed>{{4242, true}, {4243, true}, {4244, true}}));
    EXPECT_EQ(odd(owner + 1).processes(), (QList<ProcessTable::Listed>{{4242, false}, {4243, false}, {4244, false}}));
    EXPECT_TRUE(ProcfsProcessTable(QStringLiteral("/nonexistent")).processes().isEmpty());

    const auto table = odd();
    EXPECT_EQ(table.parent(4242), 4100);
    EXPECT_EQ(table.startTime(4242), 987654u);
    EXPECT_EQ(table.commandName(4242), QStringLiteral("my (odd) prog) x"));
    EXPECT_EQ(table.startTime(9999), std::nullopt);

    const QSet<quint64> devices{makedev(0x103, 0x0a), makedev(0xfd, 0x01), makedev(0x08, 0x11)};
    const QList<File> expected{
        {"/usr/bin/odd prog", makedev(0x103, 0x0a)},
        {"/usr/bin/odd prog", makedev(0x103, 0x0a)},
        {"/run/media/me/My Stick/notes (draft).txt", makedev(0xfd, 0x01)},
        {"/run/media/me/My Stick/lib/libthing.so", makedev(0x08, 0x11)},
    };
    EXPECT_EQ(table.mappedFiles(4242, devices, 100), expected) << "anonymous regions and a malformed device are skipped";
    EXPECT_EQ(table.mappedFiles(4242, devices, 4), expected.mid(0, 3)) << "the limit counts the regions walked";
    EXPECT_EQ(table.mappedFiles(4242, {makedev(0x08, 0x11)}, 100), expected.mid(3)) << "only the devices asked about";
}

TEST(ProcfsProcessTable, MountInfoWithEscapesOptionalFieldsAndPropagation)
{
    const QByteArray text = "36 35 98:0 / /media/My\\040Stick rw,noatime shared:1 - ext4 /dev/sdb1 rw\n"
                            "37 36 0:45 /sub /srv/sub rw master:3 unbindable - btrfs /dev/sdc rw\n"
                            "38 36 0:46 / /private rw - tmpfs tmpfs rw\n"
                            "garbage line\n";
    EXPECT_EQ(ProcfsProcessTable::parseMountInfo(text),
              (QList<ProcessTable::MountEntry>{{36, makedev(98, 0), "/media/My Stick", "/", "/dev/sdb1", "ext4", true},
                                              {37, makedev(0, 45), "/srv/sub", "/sub", "/dev/sdc", "btrfs", true},
                                              {38, makedev(0, 46), "/private", "/", "tmpfs", "tmpfs", false}}));
}
