// An eject right after a large copy, with the drive's write speed limited so that the write-out
// can be watched: the app is started from a shell inside the drive, its popover is driven as a
// screen reader would, and "close" is pressed in the middle of the flush. MALLOWBY_LONG_FLUSH=1
// makes the write-out last longer than any D-Bus timeout (about three minutes).

#include "support/AppProcess.h"
#include "support/LoopImage.h"
#include "support/PrivateSessionBus.h"
#include "support/TestEnvironment.h"

#include <QCryptographicHash>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QRegularExpression>
#include <QTemporaryDir>

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <iostream>

using namespace mallowby::test;
using namespace std::chrono_literals;

namespace {

constexpr qint64 MB = 1'000'000;
const QString throttleFile = QStringLiteral("/sys/fs/cgroup/blkio/blkio.throttle.write_bps_device");

// Limits how fast a block device takes writes (blkio throttling of the root group). Lifted when destroyed.
class WriteThrottle {
public:
    WriteThrottle(const QString& device, qint64 bytesPerSecond)
    {
        QFile dev(QStringLiteral("/sys/block/%1/dev").arg(device.section(QLatin1Char('/'), -1)));
        if (dev.open(QIODevice::ReadOnly))
            m_numbers = QString::fromLatin1(dev.readAll()).trimmed();
        m_active = !m_numbers.isEmpty() && set(bytesPerSecond);
    }
    ~WriteThrottle() { lift(); }
    bool isActive() const { return m_active; }
    void lift()
    {
        if (std::exchange(m_active, false))
            set(0);
    }

private:
    bool set(qint64 bytesPerSecond) const
    {
        QFile file(throttleFile);
        return file.open(QIODevice::WriteOnly) && file.write(QStringLiteral("%1 %2\n").arg(m_numbers).arg(bytesPerSecond).toLatin1()) > 0;
    }

    QString m_numbers;
    bool m_active = false;
};

QByteArray checksum(const QString& path)
{
    QFile file(path);
    QCryptographicHash hash(QCryptographicHash::Sha256);
    if (!file.open(QIODevice::ReadOnly) || !hash.addData(&file))
        return {};
    return hash.result().toHex();
}

// Sectors written to the device so far.
qint64 sectorsWritten(const QString& device)
{
    QFile stat(QStringLiteral("/sys/block/%1/stat").arg(device.section(QLatin1Char('/'), -1)));
    if (!stat.open(QIODevice::ReadOnly))
        return -1;
    const QStringList fields = QString::fromLatin1(stat.readAll()).simplified().split(QLatin1Char(' '));
    return fields.size() > 6 ? fields[6].toLongLong() : -1;
}

struct Progress {
    qint64 bytesLeft = 0;
    qint64 rate = 0;
    qint64 at = 0;  // milliseconds after the eject began, as seen by the test
};

} // namespace

TEST(FlushEject, AnEjectRightAfterALargeWriteReportsTheFlushAndTheDataArrivesIntact)
{
    if (const auto missing = TestEnvironment::missingForEjects())
        GTEST_SKIP() << missing->toStdString();
    if (!QFile::exists(throttleFile))
        GTEST_SKIP() << "no blkio write throttling here to keep the flush slow enough to watch";
    PrivateSessionBus bus;
    if (const auto missing = bus.unavailable())
        GTEST_SKIP() << missing->toStdString();
    ASSERT_TRUE(bus.startDaemon()) << bus.daemonError().toStdString();
    const bool longFlush = qEnvironmentVariableIsSet("MALLOWBY_LONG_FLUSH");
    const qint64 rate = longFlush ? 2'500'000 : 40 * MB;

    // 400 MB of random data in memory (tmpfs pages are never dirty), and its checksum.
    QTemporaryDir memory(QStringLiteral("/dev/shm/mallowby-flush-XXXXXX"));
    ASSERT_TRUE(memory.isValid());
    const QString source = memory.filePath(QStringLiteral("data"));
    const auto made = TestEnvironment::run("dd", {"if=/dev/urandom", "of=" + source, "bs=1M", "count=400", "status=none"});
    ASSERT_EQ(made.exitCode, 0) << made.err.toStdString();
    const QByteArray expected = checksum(source);
    ASSERT_FALSE(expected.isEmpty());

    LoopImage image(QStringLiteral("FlushTest"), 1024);
    ASSERT_TRUE(image.isReady()) << image.error().toStdString();
    // Straight to the image file, so the loop device's own writes are what drains the cache.
    ASSERT_EQ(TestEnvironment::run("losetup", {"--direct-io=on", image.device()}).exitCode, 0);
    ASSERT_TRUE(image.mount()) << image.error().toStdString();
    ASSERT_TRUE(image.waitForUdisks());
    WriteThrottle throttle(image.device(), rate);
    ASSERT_TRUE(throttle.isActive());
    // Every Unmount request to udisks2 for this device.
    const QString object = "/org/freedesktop/UDisks2/block_devices/" + image.device().mid(5);
    QProcess monitor;
    monitor.start("dbus-monitor", {"--system", "type='method_call',interface='org.freedesktop.UDisks2.Filesystem',"
                                               "member='Unmount',path='" + object + "'"});
    ASSERT_TRUE(monitor.waitForStarted());

    // Into the cache at once, not synced, and ejected right away by an app started from a shell
    // inside the drive.
    const auto copied = TestEnvironment::run("cp", {source, image.mountPath() + QStringLiteral("/data")});
    ASSERT_EQ(copied.exitCode, 0) << copied.err.toStdString();
    const QString shellDirectory = QDir::currentPath();
    QDir::setCurrent(image.mountPath());
    QElapsedTimer clock;
    clock.start();
    AppProcess app({{"MALLOWBY_EJECT", image.mountPath()}, {"MALLOWBY_POPOVER", "1"}, {"MALLOWBY_ACCESSIBILITY_DRIVER", "1"},
                    {"MALLOWBY_LOG_NOTIFICATIONS", "1"}, {"DBUS_SESSION_BUS_ADDRESS", bus.address()}},
                   "[General]\nnotifyTransferFinished=true\n");
    QDir::setCurrent(shellDirectory);

    QList<Progress> progress;
    const QRegularExpression line(QStringLiteral("^flushing: (\\d+) bytes left, (\\d+) B/s$"));
    qsizetype seen = 0;
    qint64 sectors = sectorsWritten(image.device()), lastWriteAt = 0, unpluggableAt = -1, closedAt = -1, askedAt = -1;
    int cardChecks = 0, cardMissing = 0;
    const bool ended = TestEnvironment::waitUntil(
        [&] {
            if (const qint64 now = sectorsWritten(image.device()); now > sectors) {
                sectors = now;
                lastWriteAt = clock.elapsed();
            }
            const QStringList lines = app.lines();
            for (; seen < lines.size(); ++seen) {
                const QString& text = lines[seen];
                if (const auto match = line.match(text); match.hasMatch())
                    progress.append({match.captured(1).toLongLong(), match.captured(2).toLongLong(), clock.elapsed()});
                else if (text.startsWith("notification: disk.img can be unplugged") && unpluggableAt < 0)
                    unpluggableAt = clock.elapsed();
                else if (text.startsWith("mallowby-driver\tnames\t")) {
                    ++cardChecks;
                    cardMissing += text.contains("\tEjecting…") ? 0 : 1;
                    EXPECT_FALSE(text.contains("Couldn't eject")) << text.toStdString();
                } else if (text.startsWith("ejected: "))
                    return true;
            }
            // Once the flush shows: "close" on the panel halfway, and the card looked at every 2 s.
            if (!progress.isEmpty() && closedAt < 0 && clock.elapsed() - progress.first().at > (longFlush ? 60'000 : 3'000)) {
                closedAt = clock.elapsed();
                app.process().write("press close\n");
            }
            if (!progress.isEmpty() && clock.elapsed() - askedAt > 2'000) {
                askedAt = clock.elapsed();
                app.process().write("names\n");
            }
            return false;
        },
        longFlush ? 400s : 90s);
    const qint64 endedAt = clock.elapsed();
    throttle.lift();
    const QStringList lines = app.lines();
    ASSERT_TRUE(ended) << lines.join('\n').toStdString() << app.process().readAllStandardError().toStdString();
    image.markEjected();
    TestEnvironment::waitUntil([&] { return unpluggableAt >= 0 || app.lines().size() > lines.size(); }, 2s);
    for (const QString& text : app.lines().mid(seen))
        if (text.startsWith("notification: disk.img can be unplugged") && unpluggableAt < 0)
            unpluggableAt = clock.elapsed();
    monitor.terminate();
    monitor.waitForFinished();
    const qsizetype unmounts = QString::fromUtf8(monitor.readAllStandardOutput()).count(QStringLiteral("member=Unmount"));

    EXPECT_TRUE(lines.contains(QStringLiteral("ejected: true -"))) << lines.join('\n').toStdString();
    ASSERT_GE(progress.size(), 4) << lines.join('\n').toStdString();
    std::cout << "first: " << progress.first().bytesLeft << " bytes left, " << progress.first().rate << " B/s at "
              << progress.first().at << " ms\nlast: " << progress.last().bytesLeft << " bytes left, " << progress.last().rate
              << " B/s at " << progress.last().at << " ms\nUnmount requests: " << unmounts << "\nclose pressed at " << closedAt
              << " ms\nlast write to the device at " << lastWriteAt << " ms; \"can be unplugged\" at " << unpluggableAt
              << " ms; ejected line at " << endedAt << " ms\ncard checks: " << cardChecks << ", without the card: " << cardMissing
              << '\n';
    EXPECT_EQ(unmounts, 1);
    EXPECT_GT(closedAt, 0);
    EXPECT_TRUE(lines.contains("mallowby-driver\tpressed\tclose")) << "no close on the card to press";
    EXPECT_GT(cardChecks, 0);
    EXPECT_EQ(cardMissing, 0) << "the card left while the drive was written";
    EXPECT_GE(unpluggableAt, lastWriteAt) << "\"can be unplugged\" came before the last write";
    if (longFlush)
        EXPECT_GT(endedAt - progress.first().at, 150'000);

    // Falling amounts at the drive's own (throttled) rate.
    EXPECT_GE(progress.first().bytesLeft, 300 * MB);
    EXPECT_LE(progress.last().bytesLeft, progress.first().bytesLeft - 150 * MB);
    QList<qint64> rates;
    for (const Progress& p : std::as_const(progress))
        rates.append(p.rate);
    std::sort(rates.begin(), rates.end());
    EXPECT_GT(rates[rates.size() / 2], rate / 2);
    EXPECT_LT(rates[rates.size() / 2], rate * 2);

    // The two notices reached the notification server, the second replacing the first.
    ASSERT_TRUE(waitForCalls(bus, 2));
    const QList<NotifyCall> calls = bus.notifyCalls();
    EXPECT_EQ(calls.first().title, "Writing data to disk.img");
    EXPECT_TRUE(calls.first().body.startsWith("Don't unplug it until this finishes.")) << calls.first().body.toStdString();
    EXPECT_EQ(calls.last().title, "disk.img can be unplugged");
    EXPECT_NE(calls.last().replacesID, 0u);

    // Ejected, and the file is whole when the image is attached again.
    const auto attached = TestEnvironment::run("losetup", {"--find", "--show", "--read-only", image.imagePath()});
    ASSERT_EQ(attached.exitCode, 0) << attached.err.toStdString();
    const QString device = attached.out.trimmed();
    const QString again = image.mountPath() + QStringLiteral("-again");
    QDir().mkpath(again);
    const auto mounted = TestEnvironment::run("mount", {"-o", "ro", device, again});
    const QByteArray actual = mounted.exitCode == 0 ? checksum(again + QStringLiteral("/data")) : QByteArray();
    if (mounted.exitCode == 0)
        TestEnvironment::run("umount", {again});
    TestEnvironment::run("losetup", {"-d", device});
    ASSERT_EQ(mounted.exitCode, 0) << mounted.err.toStdString();
    EXPECT_EQ(actual, expected);
}
