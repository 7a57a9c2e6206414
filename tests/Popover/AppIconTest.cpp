#include "Popover/Blockers/AppIcon.h"

#include "support/StallMeter.h"
#include "support/TestEnvironment.h"

#include <QFile>
#include <QImage>
#include <QTemporaryDir>

#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

using namespace mallowby;
using namespace mallowby::test;
using namespace std::chrono_literals;

// An app's icon file is read off the main thread within its time limit, and never from the drive
// the app holds (nor is a theme icon of that name looked up).
TEST(AppIcon, AnIconFileIsReadOffTheMainThreadWithinItsLimitAndNeverFromTheHeldDrive)
{
    QTemporaryDir dir;
    QImage(16, 16, QImage::Format_ARGB32).save(dir.filePath("app.png"));
    // A blocker of an app whose desktop entry names `icon`, holding `held`.
    const auto appBlocker = [&](const QString& name, const QString& icon, const QString& held) {
        QFile entry(dir.filePath(name + ".desktop"));
        EXPECT_TRUE(entry.open(QIODevice::WriteOnly));
        entry.write(QStringLiteral("[Desktop Entry]\nType=Application\nName=%1\nExec=%1\nIcon=%2\n").arg(name, icon).toUtf8());
        return Blocker{.pid = 4242, .processName = name, .executablePath = {},
                       .app = OwningApp{.pid = 4242, .name = name, .bundleIdentifier = name, .bundlePath = entry.fileName(), .startTime = {}},
                       .isAppProcess = true, .uses = {{Blocker::Reason::openFile, held}}, .startTime = {}};
    };
    const QObject context;
    int readies = 0;
    const auto ready = [&] { ++readies; };

    EXPECT_EQ(AppIcon::of(appBlocker("held", dir.filePath("app.png"), dir.filePath("doc.txt")), &context, ready), std::nullopt);
    const Blocker local = appBlocker("local", dir.filePath("app.png"), "/proc/self/status");
    EXPECT_EQ(AppIcon::of(local, &context, ready), std::nullopt);
    ASSERT_TRUE(TestEnvironment::waitUntil([&] { return readies == 1; }, 5s));
    const auto icon = AppIcon::of(local, &context, ready);
    ASSERT_TRUE(icon.has_value());
    EXPECT_FALSE(icon->isNull());
    EXPECT_EQ(readies, 1);

    // A file whose open never returns (as on a share whose server stopped answering): given up
    // after its limit, never waited for, and not read twice.
    ASSERT_EQ(::mkfifo(QFile::encodeName(dir.filePath("stuck.png")).constData(), 0600), 0);
    const Blocker stuck = appBlocker("stuck", dir.filePath("stuck.png"), "/proc/self/status");
    StallMeter stalls;
    EXPECT_EQ(AppIcon::of(stuck, &context, ready), std::nullopt);
    EXPECT_TRUE(TestEnvironment::waitUntil([&] { return readies == 2; }, 5s)) << "the read was never given up";
    EXPECT_GE(stalls.elapsed(), 1400);
    EXPECT_EQ(AppIcon::of(stuck, &context, ready), std::nullopt);
    EXPECT_FALSE(TestEnvironment::waitUntil([&] { return readies > 2; }, 200ms)) << "a second read was started";
    EXPECT_LT(stalls.stop(), 50) << "longest main-thread stall in ms";
    // Let the reading thread go.
    if (const int writer = ::open(QFile::encodeName(dir.filePath("stuck.png")).constData(), O_WRONLY | O_NONBLOCK); writer >= 0)
        ::close(writer);
}
