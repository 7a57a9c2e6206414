#include "Popover/Blockers/AppIcon.h"

#include "support/StallMeter.h"
#include "support/TestEnvironment.h"

#include <QFile>
#include <QImage>
#include <QTemporaryDir>

#include <gtest/gtest.h>

#include <iostream>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

using namespace mallowby;
using namespace mallowby::test;
using namespace std::chrono_literals;

namespace {

// A blocker of an app whose desktop entry names `icon`, holding `held`.
Blocker appBlocker(const QTemporaryDir& dir, const QString& name, const QString& icon, const QString& held)
{
    const QString entry = dir.filePath(name + QStringLiteral(".desktop"));
    QFile file(entry);
    file.open(QIODevice::WriteOnly);
    file.write(QStringLiteral("[Desktop Entry]\nType=Application\nName=%1\nExec=%1\nIcon=%2\n").arg(name, icon).toUtf8());
    Blocker blocker;
    blocker.pid = 4242;
    blocker.processName = name;
    blocker.app = OwningApp{4242, name, name, entry, std::nullopt};
    blocker.isAppProcess = true;
    blocker.uses = {{Blocker::Reason::openFile, held}};
    return blocker;
}

} // namespace

TEST(AppIcon, AnIconFileIsReadOffTheMainThreadWithinItsLimitAndNeverFromTheHeldDrive)
{
    QTemporaryDir dir;
    QImage(16, 16, QImage::Format_ARGB32).save(dir.filePath("app.png"));
    const QObject context;
    int readies = 0;
    const auto ready = [&] { ++readies; };

    // On the drive the app holds: not read at all, and no theme icon of that name.
    EXPECT_EQ(AppIcon::of(appBlocker(dir, "held", dir.filePath("app.png"), dir.filePath("doc.txt")), &context, ready), std::nullopt);
    // Elsewhere: read on a thread, then shown.
    const Blocker local = appBlocker(dir, "local", dir.filePath("app.png"), "/proc/self/status");
    EXPECT_EQ(AppIcon::of(local, &context, ready), std::nullopt);
    ASSERT_TRUE(TestEnvironment::waitUntil([&] { return readies == 1; }, 5s));
    const auto icon = AppIcon::of(local, &context, ready);
    ASSERT_TRUE(icon.has_value());
    EXPECT_FALSE(icon->isNull());
    EXPECT_EQ(readies, 1);

    // A file whose open never returns (a pipe nobody writes, as a file on a share whose server
    // stopped answering): the interface never waits for it.
    const QString stuckIcon = dir.filePath("stuck.png");
    ASSERT_EQ(::mkfifo(QFile::encodeName(stuckIcon).constData(), 0600), 0);
    const Blocker stuck = appBlocker(dir, "stuck", stuckIcon, "/proc/self/status");
    StallMeter stalls;
    EXPECT_EQ(AppIcon::of(stuck, &context, ready), std::nullopt);
    EXPECT_TRUE(TestEnvironment::waitUntil([&] { return readies == 2; }, 5s)) << "the read was never given up";
    const qint64 gaveUp = stalls.elapsed();
    EXPECT_EQ(AppIcon::of(stuck, &context, ready), std::nullopt);
    TestEnvironment::waitUntil([] { return false; }, 200ms);
    const qint64 longest = stalls.stop();
    std::cout << "given up after " << gaveUp << " ms; longest main-thread stall " << longest << " ms\n";
    EXPECT_GE(gaveUp, 1400);
    EXPECT_LT(longest, 50);
    EXPECT_EQ(readies, 2) << "a second read was started";
    // Let the reading thread go.
    const int writer = ::open(QFile::encodeName(stuckIcon).constData(), O_WRONLY | O_NONBLOCK);
    if (writer >= 0)
        ::close(writer);
}
