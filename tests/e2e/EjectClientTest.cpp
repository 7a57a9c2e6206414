#include "Eject/DiskArbitrationClient.h"
#include "Platform/BlockRegistry.h"
#include "Platform/Linux/LinuxPlatform.h"
#include "Platform/Linux/UDisks2Service.h"

#include "support/LoopImage.h"
#include "support/TestEnvironment.h"

#include <QDir>
#include <QFile>
#include <QProcess>
#include <QTemporaryDir>

#include <gtest/gtest.h>

using namespace mallowby;
using namespace mallowby::test;

namespace {

class EjectClient : public ::testing::Test {
protected:
    void SetUp() override
    {
        if (const auto missing = TestEnvironment::missingForEjects())
            GTEST_SKIP() << missing->toStdString();
        image = std::make_unique<LoopImage>(QStringLiteral("ClientTest"));
        ASSERT_TRUE(image->isReady()) << image->error().toStdString();
        ASSERT_TRUE(image->mount()) << image->error().toStdString();
        ASSERT_TRUE(image->waitForUdisks());
        const QString bsdName = image->device().mid(5);
        target = EjectTarget{bsdName, QStringLiteral("ClientTest"), VolumeKind::diskImage,
                             client.platform().registry->members(bsdName), std::nullopt};
        ASSERT_EQ(target.members.size(), 1);
    }

    DiskArbitrationClient client{LinuxPlatform::diskArbitration()};
    std::unique_ptr<LoopImage> image;
    EjectTarget target;
};

} // namespace

TEST_F(EjectClient, AnIdleImageIsUnmountedAndDetached)
{
    ASSERT_EQ(client.mounts(target).size(), 1);
    const auto failure = TestEnvironment::await(client.eject(target, false));
    ASSERT_TRUE(failure.has_value());
    EXPECT_EQ(*failure, std::nullopt);
    EXPECT_TRUE(client.mounts(target).isEmpty());
    EXPECT_TRUE(TestEnvironment::waitUntil([&] { return !image->isAttached(); }, std::chrono::seconds(5)));
}

TEST_F(EjectClient, AHolderMakesItBusyAndForceWinsAndTheDeviceStaysHeldUntilTheHolderGoes)
{
    QProcess holder;
    holder.setWorkingDirectory(image->mountPath());
    holder.start(QStringLiteral("/bin/sleep"), {QStringLiteral("300")});
    ASSERT_TRUE(holder.waitForStarted());

    const auto refused = TestEnvironment::await(client.eject(target, false));
    ASSERT_TRUE(refused.has_value() && refused->has_value());
    EXPECT_EQ(**refused, EjectFailure::busy());
    EXPECT_EQ(client.mounts(target).size(), 1);
    EXPECT_TRUE(image->isAttached());

    // Forced, the unmount is lazy: the file system lives on, holding the device, while the
    // holder stays; the eject step waits for it.
    bool held = false;
    const auto forced = TestEnvironment::await(client.eject(target, true, [&]() -> QCoro::Task<> {
        held = !co_await client.isReleased(target);
    }));
    ASSERT_TRUE(forced.has_value());
    EXPECT_EQ(*forced, std::nullopt);
    EXPECT_TRUE(client.mounts(target).isEmpty());
    EXPECT_TRUE(held);
    holder.kill();
    holder.waitForFinished();
}

TEST_F(EjectClient, AShareWhoseMountWentAndAnUnknownDiskAreNotFound)
{
    const EjectTarget share{QStringLiteral("//nas/gone"), QStringLiteral("gone"), VolumeKind::network, {}, QStringLiteral("/mnt/never-mounted")};
    const auto failure = TestEnvironment::await(client.eject(share, false));
    ASSERT_TRUE(failure.has_value() && failure->has_value());
    EXPECT_EQ(**failure, EjectFailure::other(Dissent::notFound, QStringLiteral("/mnt/never-mounted not found")));
    const auto answer = TestEnvironment::await(UDisks2Service().unmountDisk(QStringLiteral("sdzz9"), false));
    ASSERT_TRUE(answer.has_value() && answer->has_value());
    EXPECT_EQ(**answer, (Dissent{Dissent::notFound, QStringLiteral("sdzz9 not found")}));
}

// `mount -o loop` sets the loop device up with auto-clear: the kernel detaches it with the last
// unmount, before the eject step asks udisks2 to delete it.
TEST(EjectClientAutoClear, AnImageMountedWithLoopOptionEjectsAsASuccess)
{
    if (const auto missing = TestEnvironment::missingForEjects())
        GTEST_SKIP() << missing->toStdString();
    QTemporaryDir dir(QDir::tempPath() + QStringLiteral("/mallowby-autoclear-XXXXXX"));
    const QString image = dir.filePath(QStringLiteral("autoclear.img"));
    const QString mountPath = dir.filePath(QStringLiteral("mnt"));
    QDir().mkpath(mountPath);
    ASSERT_EQ(TestEnvironment::run("truncate", {"-s", "32M", image}).exitCode, 0);
    ASSERT_EQ(TestEnvironment::run("mkfs.ext4", {"-q", "-L", "AutoClear", image}).exitCode, 0);
    const auto mounted = TestEnvironment::run("mount", {"-o", "loop", image, mountPath});
    ASSERT_EQ(mounted.exitCode, 0) << mounted.err.toStdString();
    const QString device = TestEnvironment::run("findmnt", {"-n", "-o", "SOURCE", mountPath}).out.trimmed();
    ASSERT_TRUE(device.startsWith("/dev/loop")) << device.toStdString();
    const QString bsdName = device.mid(5);
    ASSERT_EQ(TestEnvironment::run("cat", {"/sys/block/" + bsdName + "/loop/autoclear"}).out.trimmed(), "1");
    ASSERT_TRUE(TestEnvironment::waitUntil(
        [&] { return TestEnvironment::run("udisksctl", {"info", "-b", device}).exitCode == 0; }, std::chrono::seconds(10)));

    const DiskArbitrationClient client(LinuxPlatform::diskArbitration());
    const EjectTarget target{bsdName, QStringLiteral("AutoClear"), VolumeKind::diskImage, client.platform().registry->members(bsdName),
                             std::nullopt};
    const auto failure = TestEnvironment::await(client.eject(target, false));
    const bool stillMounted = TestEnvironment::run("mountpoint", {"-q", mountPath}).exitCode == 0;
    if (stillMounted)
        TestEnvironment::run("umount", {mountPath});
    ASSERT_TRUE(failure.has_value());
    EXPECT_EQ(*failure, std::nullopt) << (*failure)->summary().toStdString();
    EXPECT_FALSE(stillMounted);
    EXPECT_TRUE(TestEnvironment::waitUntil([&] { return !QFile::exists("/sys/block/" + bsdName + "/loop/backing_file"); },
                                           std::chrono::seconds(5)));
}
