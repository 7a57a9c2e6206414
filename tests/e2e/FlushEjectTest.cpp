#include "support/AppProcess.h"
#include "support/LoopImage.h"
#include "support/PrivateSessionBus.h"
#include "support/TestEnvironment.h"

#include <QCryptographicHash>
#include <QElapsedTimer>
#include <QDir>
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

// Limits how fast a block device takes writes (blkio throttling of the root group), so that
// flushing a few hundred megabytes lasts long enough to watch on a fast disk. Lifted when destroyed.
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

struct Progress {
    qint64 bytesLeft = 0;
    qint64 rate = 0;
    qint64 sinceStart = 0;  // milliseconds after the app started, as seen by the test
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

    // 400 MB of random data in memory (tmpfs pages are never dirty), and its checksum.
    QTemporaryDir memory(QStringLiteral("/dev/shm/mallowby-flush-XXXXXX"));
    ASSERT_TRUE(memory.isValid());
    const QString source = memory.filePath(QStringLiteral("data"));
    const auto made = TestEnvironment::run(QStringLiteral("dd"), {QStringLiteral("if=/dev/urandom"), QStringLiteral("of=") + source,
                                                                  QStringLiteral("bs=1M"), QStringLiteral("count=400"),
                                                                  QStringLiteral("status=none")});
    ASSERT_EQ(made.exitCode, 0) << made.err.toStdString();
    const QByteArray expected = checksum(source);
    ASSERT_FALSE(expected.isEmpty());

    LoopImage image(QStringLiteral("FlushTest"), 1024);
    ASSERT_TRUE(image.isReady()) << image.error().toStdString();
    // Straight to the image file, so the loop device's own writes are what drains the cache.
    ASSERT_EQ(TestEnvironment::run(QStringLiteral("losetup"), {QStringLiteral("--direct-io=on"), image.device()}).exitCode, 0);
    ASSERT_TRUE(image.mount()) << image.error().toStdString();
    ASSERT_TRUE(image.waitForUdisks());
    WriteThrottle throttle(image.device(), 40 * MB);
    ASSERT_TRUE(throttle.isActive());

    // Into the cache at once, not synced, and ejected right away.
    const auto copied = TestEnvironment::run(QStringLiteral("cp"), {source, image.mountPath() + QStringLiteral("/data")});
    ASSERT_EQ(copied.exitCode, 0) << copied.err.toStdString();

    QElapsedTimer clock;
    clock.start();
    AppProcess app({{QStringLiteral("MALLOWBY_EJECT"), image.mountPath()},
                    {QStringLiteral("MALLOWBY_LOG_NOTIFICATIONS"), QStringLiteral("1")},
                    {QStringLiteral("DBUS_SESSION_BUS_ADDRESS"), bus.address()}},
                   "[General]\nnotifyTransferFinished=true\n");
    // Each progress line with the time it was seen.
    QList<Progress> progress;
    const QRegularExpression line(QStringLiteral("^flushing: (\\d+) bytes left, (\\d+) B/s$"));
    qsizetype seen = 0;
    const bool ended = TestEnvironment::waitUntil(
        [&] {
            const QStringList lines = app.lines();
            for (; seen < lines.size(); ++seen) {
                if (const auto match = line.match(lines[seen]); match.hasMatch())
                    progress.append({match.captured(1).toLongLong(), match.captured(2).toLongLong(), clock.elapsed()});
                else if (lines[seen].startsWith(QLatin1String("ejected: ")))
                    return true;
            }
            return false;
        },
        90s);
    const qint64 endedAt = clock.elapsed();
    throttle.lift();
    const QStringList lines = app.lines();
    ASSERT_TRUE(ended) << lines.join('\n').toStdString() << app.process().readAllStandardError().toStdString();
    image.markEjected();

    EXPECT_TRUE(lines.contains(QStringLiteral("ejected: true -"))) << lines.join('\n').toStdString();
    for (const QString& shown : lines.filter(QRegularExpression(QStringLiteral("^(flushing|notification|ejected): "))))
        std::cout << shown.toStdString() << '\n';

    // Falling amounts at the drive's own (throttled) rate.
    ASSERT_GE(progress.size(), 4) << lines.join('\n').toStdString();
    EXPECT_GE(progress.first().bytesLeft, 300 * MB);
    EXPECT_LE(progress.last().bytesLeft, progress.first().bytesLeft - 150 * MB);
    QList<qint64> rates;
    for (const Progress& p : std::as_const(progress))
        rates.append(p.rate);
    std::sort(rates.begin(), rates.end());
    const qint64 median = rates[rates.size() / 2];
    EXPECT_GT(median, 20 * MB);
    EXPECT_LT(median, 60 * MB);

    // The first estimate against the time the flush really took.
    const double estimate = std::ceil(double(progress.first().bytesLeft) / double(progress.first().rate));
    const double took = double(endedAt - progress.first().sinceStart) / 1000.0;
    std::cout << "first estimate: about " << estimate << " s; the flush took " << took << " s from that line\n";

    // The two notices reached the notification server, the second replacing the first.
    ASSERT_TRUE(waitForCalls(bus, 2));
    const QList<NotifyCall> calls = bus.notifyCalls();
    EXPECT_EQ(calls.first().title, "Writing data to disk.img");
    EXPECT_TRUE(calls.first().body.startsWith("Don't unplug it until this finishes.")) << calls.first().body.toStdString();
    EXPECT_EQ(calls.last().title, "disk.img can be unplugged");
    EXPECT_NE(calls.last().replacesID, 0u);
    EXPECT_FALSE(lines.filter(QRegularExpression(QStringLiteral("^notification: Writing data to disk.img \\| "))).isEmpty());
    EXPECT_TRUE(lines.contains(QStringLiteral("notification: disk.img can be unplugged |  | authorization 2")));

    // Ejected, and the file is whole when the image is attached again.
    QFile mountinfo(QStringLiteral("/proc/self/mountinfo"));
    ASSERT_TRUE(mountinfo.open(QIODevice::ReadOnly));
    EXPECT_FALSE(mountinfo.readAll().contains(" " + image.mountPath().toUtf8() + " "));
    const auto attached = TestEnvironment::run(QStringLiteral("losetup"), {QStringLiteral("--find"), QStringLiteral("--show"),
                                                                           QStringLiteral("--read-only"), image.imagePath()});
    ASSERT_EQ(attached.exitCode, 0) << attached.err.toStdString();
    const QString device = attached.out.trimmed();
    const QString again = image.mountPath() + QStringLiteral("-again");
    QDir().mkpath(again);
    const auto mounted = TestEnvironment::run(QStringLiteral("mount"), {QStringLiteral("-o"), QStringLiteral("ro"), device, again});
    const QByteArray actual = mounted.exitCode == 0 ? checksum(again + QStringLiteral("/data")) : QByteArray();
    if (mounted.exitCode == 0)
        TestEnvironment::run(QStringLiteral("umount"), {again});
    TestEnvironment::run(QStringLiteral("losetup"), {QStringLiteral("-d"), device});
    ASSERT_EQ(mounted.exitCode, 0) << mounted.err.toStdString();
    EXPECT_EQ(actual, expected);
}
