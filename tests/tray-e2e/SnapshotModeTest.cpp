#include "support/AppProcess.h"
#include "support/LoopImage.h"
#include "support/TestEnvironment.h"

#include <QFile>
#include <QImage>
#include <QTemporaryDir>

#include <gtest/gtest.h>

using namespace mallowby::test;
using namespace std::chrono_literals;

TEST(SnapshotMode, ThePinnedImageIsDrawnWithItsFreeSpaceAndTheRates)
{
    if (const auto missing = TestEnvironment::missingForLoopDevices())
        GTEST_SKIP() << missing->toStdString();
    LoopImage image("Snapshots", 64);
    ASSERT_TRUE(image.isReady()) << image.error().toStdString();
    ASSERT_TRUE(image.mount()) << image.error().toStdString();
    const QString uuid =
        TestEnvironment::run("blkid", {"-o", "value", "-s", "UUID", image.device()}).out.trimmed().toUpper();
    ASSERT_FALSE(uuid.isEmpty());

    QTemporaryDir folder;
    const QString snapshot = folder.filePath("tray.png");
    AppProcess process({{"MALLOWBY_SNAPSHOT", snapshot}},
                       QStringLiteral("[General]\nmenuBarStyle=spaceActivity\npinnedVolumeID=%1\n").arg(uuid).toUtf8());
    ASSERT_TRUE(process.process().waitForStarted(5000));

    // The first image may come before the figures are read; the one after them replaces it.
    const bool drawn = TestEnvironment::waitUntil([&] { return QFile::exists(snapshot); }, 15s);
    TestEnvironment::waitUntil([] { return false; }, 2s);
    process.stop();
    ASSERT_TRUE(drawn) << "no snapshot at " << snapshot.toStdString();
    const QImage png(snapshot);
    ASSERT_FALSE(png.isNull());

    // Without a tray the image is drawn at scale 2: a bar of 22 points is 44 pixels high, and the
    // width covers the name over the free space, the trace and the two rate lines.
    EXPECT_EQ(png.height(), 44);
    EXPECT_EQ(png.width() % 2, 0);
    const int width = int(png.width());
    const auto inkBetween = [&](int from, int to) {
        for (int x = from; x < to; ++x)
            for (int y = 0; y < png.height(); ++y)
                if (qAlpha(png.pixel(x, y)) > 0)
                    return true;
        return false;
    };
    EXPECT_TRUE(inkBetween(0, width / 3)) << "no name or free space on the left";
    EXPECT_TRUE(inkBetween(width * 3 / 4, width)) << "no rates on the right";
    EXPECT_TRUE(inkBetween(width / 3, width * 3 / 4)) << "no trace in the middle";
}
