#include "E2E.h"

#include "Eject/DiskArbitrationClient.h"
#include "Platform/BlockRegistry.h"
#include "Platform/Linux/LinuxBlockRegistry.h"
#include "Platform/Linux/LinuxPlatform.h"
#include "Platform/Linux/UDisks2Service.h"

#include <fcntl.h>
#include <linux/loop.h>
#include <sys/ioctl.h>

using namespace mallowby;
using namespace mallowby::test;

namespace {

EjectTarget targetOf(const DiskArbitrationClient& client, const QString& bsdName, const QString& name)
{
    return {bsdName, name, VolumeKind::diskImage, client.platform().registry->members(bsdName), std::nullopt};
}

} // namespace

// A holder makes an eject busy; forced, the unmount is lazy: the file system lives on, holding
// the device, while the holder stays, and the eject step waits for it. Shares and disks that are
// gone are not found.
TEST_F(E2E, TheClientFindsAHeldImageBusyAndForceWinsAndWhatIsGoneIsNotFound)
{
    const DiskArbitrationClient client(LinuxPlatform::diskArbitration());
    const EjectTarget target = targetOf(client, image->device().mid(5), label);
    ASSERT_EQ(target.members.size(), 1);
    ASSERT_EQ(client.mounts(target).size(), 1);
    hold("/bin/sleep", {"300"}, image->mountPath());
    const auto refused = TestEnvironment::await(client.eject(target, false));
    ASSERT_TRUE(refused.has_value() && refused->has_value());
    EXPECT_EQ(**refused, EjectFailure::busy());
    EXPECT_EQ(client.mounts(target).size(), 1);
    EXPECT_TRUE(image->isAttached());
    bool held = false;
    const auto forced = TestEnvironment::await(client.eject(target, true, [&]() -> QCoro::Task<> { held = !co_await client.isReleased(target); }));
    ASSERT_TRUE(forced.has_value());
    EXPECT_EQ(*forced, std::nullopt);
    EXPECT_TRUE(client.mounts(target).isEmpty());
    EXPECT_TRUE(held);

    const EjectTarget share{"//nas/gone", "gone", VolumeKind::network, {}, QStringLiteral("/mnt/never-mounted")};
    const auto failure = TestEnvironment::await(client.eject(share, false));
    ASSERT_TRUE(failure.has_value() && failure->has_value());
    EXPECT_EQ(**failure, EjectFailure::other(Dissent::notFound, "/mnt/never-mounted not found"));
    const auto answer = TestEnvironment::await(UDisks2Service().unmountDisk("sdzz9", false));
    ASSERT_TRUE(answer.has_value() && answer->has_value());
    EXPECT_EQ(**answer, (Dissent{Dissent::notFound, "sdzz9 not found"}));
}

// `mount -o loop` sets the loop device up with auto-clear: the kernel detaches it with the last
// unmount, before the eject step asks udisks2 to delete it; that is a success.
TEST_F(E2EBare, AnImageMountedWithTheLoopOptionEjectsAsASuccess)
{
    QTemporaryDir dir(QDir::tempPath() + "/mallowby-autoclear-XXXXXX");
    const QString file = dir.filePath("autoclear.img"), mountPath = dir.filePath("mnt");
    QDir().mkpath(mountPath);
    ASSERT_EQ(step({"truncate", "-s", "32M", file}), QString());
    ASSERT_EQ(step({"mkfs.ext4", "-q", "-L", "AutoClear", file}), QString());
    ASSERT_EQ(step({"mount", "-o", "loop", file, mountPath}, {"umount", mountPath}), QString());
    const QString device = TestEnvironment::run("findmnt", {"-n", "-o", "SOURCE", mountPath}).out.trimmed();
    const QString bsdName = device.mid(5);
    ASSERT_EQ(TestEnvironment::run("cat", {"/sys/block/" + bsdName + "/loop/autoclear"}).out.trimmed(), "1");
    ASSERT_TRUE(TestEnvironment::waitUntil([&] { return TestEnvironment::run("udisksctl", {"info", "-b", device}).exitCode == 0; }, 10s));
    const DiskArbitrationClient client(LinuxPlatform::diskArbitration());
    const auto failure = TestEnvironment::await(client.eject(targetOf(client, bsdName, "AutoClear"), false));
    ASSERT_TRUE(failure.has_value());
    EXPECT_EQ(*failure, std::nullopt) << (*failure)->summary().toStdString();
    EXPECT_NE(TestEnvironment::run("mountpoint", {"-q", mountPath}).exitCode, 0);
    EXPECT_TRUE(TestEnvironment::waitUntil([&] { return !QFile::exists("/sys/block/" + bsdName + "/loop/backing_file"); }, 5s));
}

// A device removed gives no counters, and its name, attached again, does not open the old one.
TEST_F(E2EBare, ARemovedDeviceGivesNoCountersAndItsNameNoLongerOpensIt)
{
    const int control = ::open("/dev/loop-control", O_RDWR | O_CLOEXEC);
    ASSERT_GE(control, 0);
    int number = -1;
    for (int i = 200; i < 250 && number < 0; ++i)
        if (!QFileInfo::exists(QStringLiteral("/sys/class/block/loop%1").arg(i)) && ::ioctl(control, LOOP_CTL_ADD, i) >= 0)
            number = i;
    ASSERT_GE(number, 0) << "no loop device number free to add";
    const QString name = QStringLiteral("loop%1").arg(number);
    // udev may still have it open for a moment after it appeared.
    const auto remove = [&] { return TestEnvironment::waitUntil([&] { return ::ioctl(control, LOOP_CTL_REMOVE, number) >= 0 || errno != EBUSY; }, 5s); };
    const LinuxBlockRegistry registry;
    const auto members = registry.members(name);
    ASSERT_EQ(members.size(), 1);
    auto driver = registry.open(members.first());
    ASSERT_NE(driver, nullptr);
    EXPECT_TRUE(driver->counters().has_value());
    ASSERT_TRUE(remove());
    EXPECT_EQ(driver->counters(), std::nullopt);
    ASSERT_GE(::ioctl(control, LOOP_CTL_ADD, number), 0);
    const auto again = registry.members(name);
    ASSERT_EQ(again.size(), 1);
    EXPECT_NE(again.first().driverID, members.first().driverID);
    EXPECT_EQ(registry.open(members.first()), nullptr);
    EXPECT_NE(registry.open(again.first()), nullptr);
    remove();
    ::close(control);
}
