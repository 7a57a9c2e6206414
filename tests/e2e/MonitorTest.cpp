#include "E2E.h"

#include "Drives/DriveMonitor.h"
#include "Platform/Linux/LinuxBlockDriver.h"
#include "Platform/Linux/LinuxBlockRegistry.h"
#include "Platform/Linux/LinuxPlatform.h"

#include <fcntl.h>
#include <linux/loop.h>
#include <sys/ioctl.h>

using namespace mallowby;
using namespace mallowby::test;

namespace {

quint64 kernelBytesWritten(const QString& disk)
{
    QFile stat("/sys/block/" + disk + "/stat");
    const auto counters = stat.open(QIODevice::ReadOnly) ? LinuxBlockDriver::parseStat(stat.readAll().toStdString()) : std::nullopt;
    return counters ? counters->bytesWritten : 0;
}

} // namespace

// The store and the monitor follow the image live: its volume comes and goes with its mount,
// and the drive's session count and rate integral match what the kernel counts within 1 %.
TEST_F(E2E, TheStoreAndTheMonitorFollowTheImageAndItsWritesLive)
{
    const QString disk = image->device().mid(5), path = image->mountPath();
    VolumeStore store(SpaceReader{2s}, LinuxPlatform::volumeStore());
    DriveMonitor monitor(store, {LinuxPlatform::driveMonitor().registry, {}});
    store.start();
    monitor.start();
    const auto volume = [&]() -> const Volume* {
        const auto at = std::find_if(store.volumes().cbegin(), store.volumes().cend(), [&](const Volume& v) { return v.mountPath == path; });
        return at == store.volumes().cend() ? nullptr : &*at;
    };
    const auto drive = [&]() -> const Drive* {
        for (const Drive& drive : monitor.drives())
            if (drive.members.size() == 1 && drive.members.first().bsdName == disk)
                return &drive;
        return nullptr;
    };
    ASSERT_TRUE(TestEnvironment::waitUntil([&] { return drive() && volume() && volume()->space; }, 5s));
    EXPECT_EQ(drive()->name, "disk.img");
    EXPECT_EQ(volume()->kind, VolumeKind::diskImage);
    EXPECT_EQ(volume()->format, "EXT4");

    // At every sample: the drive's session count, the kernel's count, and the rate integral.
    struct Reading {
        quint64 session, kernel;
        double integral;
    };
    QList<Reading> readings;
    double integral = 0;
    auto last = std::chrono::steady_clock::now();
    monitor.setOnSample([&] {
        const auto now = std::chrono::steady_clock::now();
        if (!drive() || !drive()->writeRate)
            return;
        integral += *drive()->writeRate * std::chrono::duration<double>(now - last).count();
        last = now;
        readings.append({drive()->session.bytesWritten, kernelBytesWritten(disk), integral});
    });
    monitor.setDetailed(true);
    ASSERT_TRUE(TestEnvironment::waitUntil([&] { return !readings.isEmpty(); }, 3s));
    const Reading before = readings.last();
    constexpr int megabytes = 128;
    QProcess dd;
    dd.start("dd", directWrite(path + "/data", megabytes));
    ASSERT_TRUE(TestEnvironment::waitUntil([&] { return dd.state() == QProcess::NotRunning; }, 60s) && dd.exitCode() == 0)
        << dd.readAllStandardError().toStdString();
    const qsizetype count = readings.size();
    ASSERT_TRUE(TestEnvironment::waitUntil([&] { return readings.size() > count; }, 3s));
    const Reading after = readings.last();
    const double kernel = double(after.kernel - before.kernel);
    EXPECT_GE(kernel, double(megabytes) * 1024 * 1024);
    EXPECT_NEAR(double(after.session - before.session), kernel, kernel * 0.01);
    EXPECT_NEAR(after.integral - before.integral, kernel, kernel * 0.01);

    ASSERT_TRUE(image->unmount()) << image->error().toStdString();
    EXPECT_TRUE(TestEnvironment::waitUntil([&] { return !volume(); }, 5s));
    ASSERT_TRUE(image->mount()) << image->error().toStdString();
    EXPECT_TRUE(TestEnvironment::waitUntil([&] { return volume(); }, 5s));
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
