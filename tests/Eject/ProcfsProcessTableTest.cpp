#include "Platform/Linux/ProcfsProcessTable.h"

#include "support/TestEnvironment.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QTemporaryDir>

#include <algorithm>

#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

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

TEST(ProcfsProcessTable, TheRealProcReadsWholeMapsAndMatchesHoldingsByMount)
{
    // Enough regions that maps runs over many pages; the last file-backed one must be found.
    void* pad = mmap(nullptr, 2000 * 4096, PROT_NONE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    ASSERT_NE(pad, MAP_FAILED);
    for (int i = 0; i < 2000; i += 2)
        mprotect(static_cast<char*>(pad) + i * 4096, 4096, PROT_READ);
    QFile mapsFile(QStringLiteral("/proc/self/maps"));
    ASSERT_TRUE(mapsFile.open(QIODevice::ReadOnly));
    const QByteArray maps = mapsFile.readAll();
    EXPECT_GT(maps.size(), 64 * 1024);
    const ProcfsProcessTable table;
    const QList<File> mapped = table.mappedFiles(getpid(), {}, 1 << 20);
    QList<QByteArray> fileLines;
    for (const QByteArray& line : maps.split('\n'))
        if (line.contains(" /"))
            fileLines << line;
    ASSERT_FALSE(fileLines.isEmpty());
    const QList<QByteArray> last = fileLines.last().simplified().split(' ');
    const QStringList device = QString::fromLatin1(last[3]).split(':');
    const quint64 lastDevice = makedev(device[0].toUInt(nullptr, 16), device[1].toUInt(nullptr, 16));
    const QList<File> found = table.mappedFiles(getpid(), {lastDevice}, 1 << 20);
    ASSERT_FALSE(found.isEmpty());
    EXPECT_EQ(found.last().path, QString::fromUtf8(last.mid(5).join(' ')));
    EXPECT_TRUE(mapped.isEmpty()) << "no device asked about";
    munmap(pad, 2000 * 4096);

    QTemporaryDir dir;
    QFile held(dir.filePath(QStringLiteral("held")));
    ASSERT_TRUE(held.open(QIODevice::WriteOnly));
    struct statx info {};
    ASSERT_EQ(::statx(AT_FDCWD, QFile::encodeName(held.fileName()).constData(), 0, STATX_MNT_ID, &info), 0);
    ASSERT_TRUE(info.stx_mask & STATX_MNT_ID);
    const ProcessTable::Mounts byMount{{}, {info.stx_mnt_id}};
    const auto holdings = table.holdings(getpid(), byMount);
    EXPECT_EQ(holdings.startTime, table.startTime(getpid()));
    EXPECT_TRUE(holdings.readable);
    EXPECT_TRUE(std::any_of(holdings.openFiles.cbegin(), holdings.openFiles.cend(), [&](const File& f) {
        return f.path == QFileInfo(held.fileName()).canonicalFilePath() && f.mountID == info.stx_mnt_id;
    }));
    EXPECT_TRUE(table.processes().contains(ProcessTable::Listed{getpid(), true}));
    const auto mounts = table.mounts(0);
    EXPECT_TRUE(std::any_of(mounts.cbegin(), mounts.cend(), [&](const auto& m) { return m.id == info.stx_mnt_id; }));
    EXPECT_EQ(table.mountNamespace(0), table.mountNamespace(getpid()));
}
