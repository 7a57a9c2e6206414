#include "Platform/Linux/LinuxDeviceUsers.h"
#include "Platform/Linux/ProcfsProcessTable.h"

#include "support/SysfsTree.h"
#include "support/TestEnvironment.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QTemporaryDir>

#include <gtest/gtest.h>

#include <sys/sysmacros.h>

using namespace mallowby;
using namespace mallowby::test;
using File = ProcessTable::FileRef;

namespace {

ProcfsProcessTable odd(uid_t uid = 1000)
{
    return ProcfsProcessTable(TestEnvironment::dataPath(QStringLiteral("proc-odd")), uid);
}

void write(const QString& path, const QByteArray& text)
{
    QDir().mkpath(QFileInfo(path).path());
    QFile file(path);
    ASSERT_TRUE(file.open(QIODevice::WriteOnly));
    file.write(text);
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

TEST(LinuxDeviceUsers, SwapsExportsAndStackedDevicesFromTheKernelsTables)
{
    QTemporaryDir proc;
    write(proc.filePath("swaps"), "Filename\tType\tSize\tUsed\tPriority\n"
                                  "/media/My\\040Stick/swapfile file 1024 0 -2\n/dev/sdb2 partition 2048 0 -3\n");
    write(proc.filePath("etab"), "/media/usb/share\t*(rw,sync)\n/media/usb/share\t10.0.0.0/8(ro)\n/srv/nfs\t*(ro)\n");
    LinuxDeviceUsers users(proc.path(), QStringLiteral("/nonexistent"), proc.filePath("etab"));
    EXPECT_EQ(users.swaps(), (QList<DeviceUsers::Swap>{{"/media/My Stick/swapfile", false}, {"/dev/sdb2", true}}));
    EXPECT_EQ(users.exports(), (QStringList{"/media/usb/share", "/srv/nfs"})) << "etab, without the server's table";
    write(proc.filePath("fs/nfsd/exports"), "# Version 1.1\n/media/usb/other\t*(rw)\n");
    EXPECT_EQ(users.exports(), QStringList{"/media/usb/other"}) << "the server's own table first";

    // sdb1 carries a LUKS layer (handled by the eject) with a plain dm target on it, and an md array.
    SysfsTree sysfs({QStringLiteral("usb-disk")});
    ASSERT_TRUE(sysfs.isReady()) << sysfs.error().toStdString();
    sysfs.addDisk("dm-0", "253:0");
    sysfs.setAttribute("dm-0", "dm/uuid", "CRYPT-LUKS2-abc-luks");
    sysfs.addDisk("dm-1", "253:1");
    sysfs.setAttribute("dm-1", "dm/name", "thin");
    sysfs.setAttribute("dm-1", "dm/uuid", "");
    sysfs.addDisk("md0", "9:0");
    sysfs.stack("dm-0", "sdb1");
    sysfs.stack("dm-1", "dm-0");
    sysfs.stack("md0", "sdb");
    LinuxDeviceUsers stacked(proc.path(), sysfs.root());
    EXPECT_EQ(stacked.disksBelow({"dm-1"}), QStringList{"sdb"});
    EXPECT_TRUE(stacked.isOn("sdb1", {"sdb"}));
    EXPECT_FALSE(stacked.isOn("sda1", {"sdb"}));
    const auto found = stacked.stackedOn({"sdb"});
    ASSERT_EQ(found.size(), 2);
    EXPECT_EQ(std::tuple(found[0].label, found[1].label, found[1].device), std::tuple(QStringLiteral("md0"), QStringLiteral("thin"), makedev(253, 1)));
}
