#include "support/AppProcess.h"
#include "support/LoopImage.h"
#include "support/TestEnvironment.h"

#include <QImage>
#include <QTemporaryDir>

#include <gtest/gtest.h>

using namespace mallowby::test;
using namespace std::chrono_literals;

// Without a tray the image is drawn at scale 2: a bar of 22 points is 44 pixels high, its width
// covering the pinned drive's name over its free space, the trace and the two rate lines.
TEST(SnapshotMode, ThePinnedImageIsDrawnWithItsFreeSpaceAndTheRates)
{
    if (const auto missing = TestEnvironment::missingForLoopDevices())
        GTEST_SKIP() << missing->toStdString();
    LoopImage image("Snapshots", 64);
    ASSERT_TRUE(image.isReady() && image.mount()) << image.error().toStdString();
    const QString uuid = TestEnvironment::run("blkid", {"-o", "value", "-s", "UUID", image.device()}).out.trimmed().toUpper();
    ASSERT_FALSE(uuid.isEmpty());
    QTemporaryDir folder;
    const QString snapshot = folder.filePath("tray.png");
    AppProcess process({{"MALLOWBY_SNAPSHOT", snapshot}},
                       QStringLiteral("[General]\nmenuBarStyle=spaceActivity\npinnedVolumeID=%1\n").arg(uuid).toUtf8());
    // Ink in the left third, the middle and the right quarter; the first image may come before the
    // figures are read, and the one after them replaces it.
    QImage png;
    const auto inkBetween = [&](double from, double to) {
        for (int x = int(png.width() * from); x < int(png.width() * to); ++x)
            for (int y = 0; y < png.height(); ++y)
                if (qAlpha(png.pixel(x, y)) > 0)
                    return true;
        return false;
    };
    const bool drawn = TestEnvironment::waitUntil([&] {
        png = QImage(snapshot);
        return png.height() == 44 && png.width() % 2 == 0 && inkBetween(0, 1 / 3.0) && inkBetween(1 / 3.0, 0.75) && inkBetween(0.75, 1);
    }, 20s);
    process.stop();
    EXPECT_TRUE(drawn) << "no full snapshot at " << snapshot.toStdString() << ": " << png.width() << "×" << png.height();
}
