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

    QTemporaryDir home;
    QDir(home.path()).mkpath("config/mallowby");
    QDir(home.path()).mkpath("runtime");
    QFile settings(home.filePath("config/mallowby/mallowby.conf"));
    ASSERT_TRUE(settings.open(QIODevice::WriteOnly));
    settings.write(QStringLiteral("[General]\nmenuBarStyle=spaceActivity\npinnedVolumeID=%1\n").arg(uuid).toUtf8());
    settings.close();
    const QString snapshot = home.filePath("tray.png");

    auto environment = QProcessEnvironment::systemEnvironment();
    for (const QString& key : environment.keys())
        if (key.startsWith(QLatin1String("MALLOWBY_")))
            environment.remove(key);
    for (const char* key : {"DISPLAY", "WAYLAND_DISPLAY", "DBUS_SESSION_BUS_ADDRESS"})
        environment.remove(QString::fromLatin1(key));
    environment.insert("QT_QPA_PLATFORM", "offscreen");
    environment.insert("XDG_CONFIG_HOME", home.filePath("config"));
    environment.insert("XDG_RUNTIME_DIR", home.filePath("runtime"));
    environment.insert("MALLOWBY_SNAPSHOT", snapshot);
    QProcess app;
    app.setProcessEnvironment(environment);
    app.start(TestEnvironment::mallowbyBinary(), {});
    ASSERT_TRUE(app.waitForStarted(5000));

    // The first image may come before the figures are read; the one after them replaces it.
    const bool drawn = TestEnvironment::waitUntil([&] { return QFile::exists(snapshot); }, 15s);
    TestEnvironment::waitUntil([] { return false; }, 2s);
    app.terminate();
    app.waitForFinished(5000);
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
