#include "DumpModes.h"

#include "Volumes/VolumeStore.h"

#include "support/FakeVolumePlatform.h"
#include "support/ManualClock.h"
#include "support/TestEnvironment.h"

#include <gtest/gtest.h>

using namespace mallowby;
using namespace mallowby::test;

TEST(DumpModes, VolumeFieldsPrintDashesForAbsentFigures)
{
    Volume volume;
    volume.name = QStringLiteral("My Stick");
    volume.kind = VolumeKind::external;
    volume.format = QStringLiteral("FAT");
    volume.mountPath = QStringLiteral("/run/media/me/My Stick");
    EXPECT_EQ(DumpModes::volumeFields(volume),
              (QStringList{"My Stick", "external", "FAT", "-", "-", "-", "-", "-", "/run/media/me/My Stick"}));

    volume.deviceProtocol = QStringLiteral("USB");
    volume.space = Space{16000000000, 9000000000, 8500000000, true};
    EXPECT_EQ(DumpModes::volumeFields(volume), (QStringList{"My Stick", "external", "FAT", "USB", "16000000000", "9000000000",
                                                            "8500000000", "true", "/run/media/me/My Stick"}));
}

TEST(DumpModes, VolumeDumpWaitsAtMostThreeSecondsForFigures)
{
    FakeVolumePlatform fake;
    fake.table->mounts = {FakeVolumePlatform::mount("/", "/dev/vda"), FakeVolumePlatform::mount("/mnt/dead", "dead:/share")};
    ManualClock clock;
    VolumeStore store(SpaceReader{std::chrono::seconds(2),
                                  [](const QString& path) {
                                      return path == QLatin1String("/") ? std::optional(Space{100, 60, 60, false}) : std::nullopt;
                                  }},
                      fake.platform(), clock);
    store.start();

    testing::internal::CaptureStdout();
    bool done = false;
    [](VolumeStore& store, Clock& clock, bool& done) -> QCoro::Task<> {
        co_await DumpModes::volumeDump(store, clock);
        done = true;
    }(store, clock, done);
    TestEnvironment::waitUntil([] { return false; }, std::chrono::milliseconds(100));
    clock.advance(std::chrono::milliseconds(2900));
    EXPECT_FALSE(done);
    clock.advance(std::chrono::milliseconds(150));
    const QString out = QString::fromStdString(testing::internal::GetCapturedStdout());
    ASSERT_TRUE(done);
    EXPECT_EQ(out, "name\tkind\tformat\tprotocol\ttotal\tavailable\tstrict\tstale\tpath\n"
                   "/\tinternal\tEXT4\t-\t100\t60\t60\tfalse\t/\n"
                   "dead\tinternal\tEXT4\t-\t-\t-\t-\t-\t/mnt/dead\n");
}
