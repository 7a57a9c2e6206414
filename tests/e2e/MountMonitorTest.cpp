#include "Platform/Linux/LinuxPlatform.h"
#include "Volumes/VolumeStore.h"

#include "support/LoopImage.h"
#include "support/TestEnvironment.h"

#include <gtest/gtest.h>

using namespace mallowby;
using namespace mallowby::test;

namespace {

const Volume* find(const VolumeStore& store, const QString& path)
{
    for (const Volume& volume : store.volumes())
        if (volume.mountPath == path)
            return &volume;
    return nullptr;
}

} // namespace

TEST(MountMonitor, MountsAndUnmountsReachTheLiveList)
{
    if (const auto missing = TestEnvironment::missingForLoopDevices())
        GTEST_SKIP() << missing->toStdString();
    LoopImage image(QStringLiteral("MonitorTest"));
    ASSERT_TRUE(image.isReady()) << image.error().toStdString();

    VolumeStore store(SpaceReader{std::chrono::seconds(2)}, LinuxPlatform::volumeStore());
    store.start();
    ASSERT_EQ(find(store, image.mountPath()), nullptr);

    ASSERT_TRUE(image.mount()) << image.error().toStdString();
    ASSERT_TRUE(TestEnvironment::waitUntil([&] { return find(store, image.mountPath()) != nullptr; }, std::chrono::seconds(5)));
    const Volume* volume = find(store, image.mountPath());
    EXPECT_EQ(volume->kind, VolumeKind::diskImage);
    EXPECT_EQ(volume->format, "EXT4");
    EXPECT_TRUE(TestEnvironment::waitUntil([&] { return find(store, image.mountPath())->space.has_value(); },
                                           std::chrono::seconds(5)));

    ASSERT_TRUE(image.unmount()) << image.error().toStdString();
    EXPECT_TRUE(TestEnvironment::waitUntil([&] { return find(store, image.mountPath()) == nullptr; }, std::chrono::seconds(5)));
}
