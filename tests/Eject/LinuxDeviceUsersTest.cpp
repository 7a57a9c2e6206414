#include "Platform/Linux/LinuxDeviceUsers.h"

#include "support/SysfsTree.h"

#include <QDir>
#include <QFile>
#include <QTemporaryDir>

#include <gtest/gtest.h>

#include <sys/sysmacros.h>

using namespace mallowby;
using mallowby::test::SysfsTree;

namespace {

void write(const QString& path, const QByteArray& text)
{
    QDir().mkpath(QFileInfo(path).path());
    QFile file(path);
    ASSERT_TRUE(file.open(QIODevice::WriteOnly));
    file.write(text);
}

} // namespace

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
