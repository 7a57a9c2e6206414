#include "support/AppProcess.h"
#include "support/LoopImage.h"
#include "support/TestEnvironment.h"

#include <QCoreApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QProcess>
#include <QRegularExpression>
#include <QTemporaryDir>

#include <gtest/gtest.h>

#include <sys/statvfs.h>

#include <iostream>

using namespace mallowby::test;
using namespace std::chrono_literals;

TEST(LowSpaceNotice, AnImageFilledWhileTheAppRunsIsAnnouncedOnceWithinSeconds)
{
    if (const auto missing = TestEnvironment::missingForLoopDevices())
        GTEST_SKIP() << missing->toStdString();
    // Mounts are seen machine-wide: a label of its own keeps another run's image out of the count.
    const QString label = QStringLiteral("Low%1").arg(QCoreApplication::applicationPid());
    LoopImage image(label, 64);
    ASSERT_TRUE(image.isReady()) << image.error().toStdString();
    ASSERT_TRUE(image.mount()) << image.error().toStdString();

    AppProcess process({{QStringLiteral("MALLOWBY_LOG_NOTIFICATIONS"), QStringLiteral("1")}}, "[General]\nnotifyLowSpace=true\nlowSpaceThreshold=percent:20\n");
    QProcess& app = process.process();
    ASSERT_TRUE(app.waitForStarted(5000));
    // The image is first seen with plenty of room, which announces nothing.
    TestEnvironment::waitUntil([] { return false; }, 3s);
    ASSERT_EQ(app.state(), QProcess::Running) << app.readAllStandardError().toStdString();

    // Fill it to 5 % free.
    struct statvfs figures {};
    ASSERT_EQ(::statvfs(image.mountPath().toLocal8Bit().constData(), &figures), 0);
    const qint64 total = qint64(figures.f_blocks) * qint64(figures.f_frsize);
    const qint64 available = qint64(figures.f_bavail) * qint64(figures.f_frsize);
    const qint64 fill = available - total / 20;
    ASSERT_GT(fill, 0);
    const auto allocated = TestEnvironment::run(
        QStringLiteral("fallocate"), {QStringLiteral("-l"), QString::number(fill), image.mountPath() + QStringLiteral("/filler")});
    ASSERT_EQ(allocated.exitCode, 0) << allocated.err.toStdString();
    QElapsedTimer sinceFill;
    sinceFill.start();

    const QString prefix = QStringLiteral("notification: %1 is low on space | ").arg(label);
    const QString notice = process.waitForLine([&](const QString& line) { return line.startsWith(prefix); }, 20s);
    const qint64 announcedAfter = sinceFill.elapsed();
    // Four more reads of the image, now low, must stay quiet.
    if (!notice.isEmpty())
        TestEnvironment::waitUntil([] { return false; }, 8s);
    const bool stillRunning = app.state() == QProcess::Running;
    process.stop();
    const QStringList lines = process.lines();
    image.unmount();

    ASSERT_FALSE(notice.isEmpty()) << "no notice within 20 s; output:\n" << lines.join('\n').toStdString();
    EXPECT_LT(announcedAfter, 5000);
    EXPECT_TRUE(stillRunning);
    ASSERT_EQ(lines.filter(prefix).size(), 1) << lines.join('\n').toStdString();
    // No session bus here: not authorized, so only the echo.
    EXPECT_TRUE(QRegularExpression(QStringLiteral("^notification: %1 is low on space \\| [\\d.]+ [KM]B free of "
                                                  "[\\d.]+ MB, below 20 %\\. \\| authorization 1$").arg(label))
                    .match(notice)
                    .hasMatch())
        << notice.toStdString();
    std::cout << "low-space notice " << announcedAfter << " ms after the fill\n";
}
