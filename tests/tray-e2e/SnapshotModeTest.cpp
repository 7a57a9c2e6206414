#include "support/AppProcess.h"
#include "support/LoopImage.h"
#include "support/TestEnvironment.h"

#include <QDir>
#include <QFile>
#include <QImage>
#include <QProcess>
#include <QTemporaryDir>

#include <gtest/gtest.h>

using namespace mallowby::test;
using namespace std::chrono_literals;

namespace {

// Columns of the image that hold any ink, as a bit per column.
QList<bool> inkedColumns(const QImage& image)
{
    QList<bool> columns(image.width(), false);
    for (int y = 0; y < image.height(); ++y)
        for (int x = 0; x < image.width(); ++x)
            if (qAlpha(image.pixel(x, y)) > 0)
                columns[x] = true;
    return columns;
}

bool anyInk(const QList<bool>& columns, int from, int to)
{
    for (int x = std::max(0, from); x < std::min<int>(to, int(columns.size())); ++x)
        if (columns[x])
            return true;
    return false;
}

} // namespace

TEST(SnapshotMode, ThePinnedImageIsDrawnWithItsFreeSpaceAndTheRates)
{
    if (const auto missing = TestEnvironment::missingForLoopDevices())
        GTEST_SKIP() << missing->toStdString();
    LoopImage image(QStringLiteral("Snapshots"), 64);
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
    const QList<bool> columns = inkedColumns(png);
    const int width = int(png.width());
    EXPECT_TRUE(anyInk(columns, 0, width / 3)) << "no name or free space on the left";
    EXPECT_TRUE(anyInk(columns, width * 3 / 4, width)) << "no rates on the right";
    EXPECT_TRUE(anyInk(columns, width / 3, width * 3 / 4)) << "no trace in the middle";
}
