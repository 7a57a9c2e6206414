#include "Platform/Linux/LinuxMountTable.h"
#include "Platform/Linux/UDisks2Service.h"

#include "support/LoopImage.h"
#include "support/TestEnvironment.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QProcess>
#include <QTemporaryDir>

#include <gtest/gtest.h>

using namespace mallowby;
using namespace mallowby::test;

namespace {

std::optional<VolumeStore::Mount> mountAt(const QString& path)
{
    for (const auto& mount : VolumeStore::Mount::current(LinuxMountTable(), true))
        if (mount.path == path)
            return mount;
    return std::nullopt;
}

// The request finished and was not refused.
bool succeeded(const std::optional<std::optional<Dissent>>& answer)
{
    return answer.has_value() && !answer->has_value();
}

class UDisks2 : public ::testing::Test {
protected:
    void SetUp() override
    {
        if (const auto missing = TestEnvironment::missingForEjects())
            GTEST_SKIP() << missing->toStdString();
    }

    // Attaches and mounts an image, and waits until udisks2 knows the loop device.
    std::unique_ptr<LoopImage> mountedImage()
    {
        auto image = std::make_unique<LoopImage>(QStringLiteral("UDisksTest"));
        EXPECT_TRUE(image->isReady()) << image->error().toStdString();
        EXPECT_TRUE(image->mount()) << image->error().toStdString();
        EXPECT_TRUE(image->waitForUdisks());
        return image;
    }

    static QString bsdName(const LoopImage& image) { return image.device().mid(5); }
};

} // namespace

TEST_F(UDisks2, UnmountsAnIdleDiskAndDeletesTheLoop)
{
    auto image = mountedImage();
    UDisks2Service service;
    EXPECT_TRUE(succeeded(TestEnvironment::await(service.unmountDisk(bsdName(*image), false))));
    EXPECT_FALSE(mountAt(image->mountPath()).has_value());
    EXPECT_TRUE(succeeded(TestEnvironment::await(service.ejectDisk(bsdName(*image)))));
    EXPECT_TRUE(TestEnvironment::waitUntil(
        [&] { return !QFile::exists(QStringLiteral("/sys/block/%1/loop/backing_file").arg(bsdName(*image))); },
        std::chrono::seconds(5)));
}

TEST_F(UDisks2, AHolderMakesTheUnmountBusyUntilForced)
{
    auto image = mountedImage();
    QProcess holder;
    holder.setWorkingDirectory(image->mountPath());
    holder.start(QStringLiteral("/bin/sleep"), {QStringLiteral("300")});
    ASSERT_TRUE(holder.waitForStarted());

    UDisks2Service service;
    const auto refused = TestEnvironment::await(service.unmountDisk(bsdName(*image), false));
    ASSERT_TRUE(refused.has_value() && refused->has_value());
    EXPECT_EQ((*refused)->status, Dissent::busy);
    EXPECT_TRUE(mountAt(image->mountPath()).has_value());

    const auto forced = TestEnvironment::await(service.unmountDisk(bsdName(*image), true));
    EXPECT_TRUE(succeeded(forced));
    EXPECT_FALSE(mountAt(image->mountPath()).has_value());
    holder.kill();
    holder.waitForFinished();
}

TEST_F(UDisks2, AnUnknownDiskIsNotFound)
{
    UDisks2Service service;
    const auto answer = TestEnvironment::await(service.unmountDisk(QStringLiteral("sdzz9"), false));
    ASSERT_TRUE(answer.has_value() && answer->has_value());
    EXPECT_EQ(**answer, (Dissent{Dissent::notFound, QStringLiteral("sdzz9 not found")}));
}

TEST_F(UDisks2, AShareLikeFuseMountUnmountsThroughTheNetworkPath)
{
    QTemporaryDir dir;
    const QString path = dir.filePath(QStringLiteral("share"));
    QDir().mkpath(path);
    QProcess fuse;
    fuse.start(TestEnvironment::hangfsBinary(), {path});
    ASSERT_TRUE(TestEnvironment::waitUntil([&] { return mountAt(path).has_value(); }, std::chrono::seconds(10)));
    // Mounted is not yet serving: wait until the file system answers (its root's attributes).
    ASSERT_TRUE(TestEnvironment::waitUntil([&] { return QFileInfo(path).isDir(); }, std::chrono::seconds(10)));
    const auto mount = *mountAt(path);
    EXPECT_TRUE(mount.type.startsWith(QLatin1String("fuse")));

    UDisks2Service service;
    EXPECT_TRUE(succeeded(TestEnvironment::await(service.unmountShare(mount, false))));
    EXPECT_FALSE(mountAt(path).has_value());
    fuse.kill();
    fuse.waitForFinished();
}
