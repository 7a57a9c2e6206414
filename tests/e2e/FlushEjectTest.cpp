#include "E2E.h"

#include "support/PrivateSessionBus.h"

#include <QCryptographicHash>

using namespace mallowby::test;

namespace {

constexpr qint64 MB = 1'000'000;
const QString throttleFile = "/sys/fs/cgroup/blkio/blkio.throttle.write_bps_device";

// Limits how fast a block device takes writes (blkio throttling of the root group), 0: no limit.
bool throttle(const QString& device, qint64 bytesPerSecond)
{
    QFile numbers("/sys/block/" + device.mid(5) + "/dev"), file(throttleFile);
    return numbers.open(QIODevice::ReadOnly) && file.open(QIODevice::WriteOnly)
        && file.write(numbers.readAll().trimmed() + ' ' + QByteArray::number(bytesPerSecond) + '\n') > 0;
}

QByteArray checksum(const QString& path)
{
    QFile file(path);
    QCryptographicHash hash(QCryptographicHash::Sha256);
    return file.open(QIODevice::ReadOnly) && hash.addData(&file) ? hash.result() : QByteArray();
}

qint64 sectorsWritten(const QString& device)
{
    QFile stat("/sys/block/" + device.mid(5) + "/stat");
    return stat.open(QIODevice::ReadOnly) ? QString::fromLatin1(stat.readAll()).simplified().section(' ', 6, 6).toLongLong() : -1;
}

// A 1 GB image whose loop device writes straight to its file, so its own writes drain the cache.
class FlushEject : public E2E {
protected:
    FlushEject() : E2E(1024) {}
};

} // namespace

// An eject right after a large copy, the drive's writes throttled so the write-out can be
// watched, by the app started from a shell inside the drive and driven as a screen reader
// would, "close" pressed mid-flush: the flush is reported, the data arrives intact.
// MALLOWBY_LONG_FLUSH=1 makes the write-out outlast any D-Bus timeout (about three minutes).
TEST_F(FlushEject, AnEjectRightAfterALargeWriteReportsTheFlushAndTheDataArrivesIntact)
{
    if (!QFile::exists(throttleFile))
        GTEST_SKIP() << "no blkio write throttling here to keep the flush slow enough to watch";
    PrivateSessionBus bus;
    if (const auto missing = bus.unavailable())
        GTEST_SKIP() << missing->toStdString();
    ASSERT_TRUE(bus.startDaemon()) << bus.daemonError().toStdString();
    const bool longFlush = qEnvironmentVariableIsSet("MALLOWBY_LONG_FLUSH");
    const qint64 rate = longFlush ? 2'500'000 : 40 * MB;
    // 400 MB of random data in memory (tmpfs pages are never dirty).
    QTemporaryDir memory("/dev/shm/mallowby-flush-XXXXXX");
    const QString source = memory.filePath("data");
    ASSERT_EQ(step({"dd", "if=/dev/urandom", "of=" + source, "bs=1M", "count=400", "status=none"}), QString());
    const QByteArray expected = checksum(source);
    ASSERT_EQ(step({"losetup", "--direct-io=on", image->device()}), QString());
    ASSERT_TRUE(throttle(image->device(), rate));
    undo.push_back([&] { throttle(image->device(), 0); });
    QProcess monitor;  // every Unmount request to udisks2 for this device
    monitor.start("dbus-monitor", {"--system", "type='method_call',interface='org.freedesktop.UDisks2.Filesystem',member='Unmount',path='"
                                                   "/org/freedesktop/UDisks2/block_devices/" + image->device().mid(5) + "'"});
    ASSERT_TRUE(monitor.waitForStarted());

    // Into the cache at once, not synced, and ejected right away.
    ASSERT_EQ(step({"cp", source, image->mountPath() + "/data"}), QString());
    const QString shellDirectory = QDir::currentPath();
    QDir::setCurrent(image->mountPath());
    QElapsedTimer clock;
    clock.start();
    AppProcess app({{"MALLOWBY_EJECT", image->mountPath()}, {"MALLOWBY_POPOVER", "1"}, {"MALLOWBY_ACCESSIBILITY_DRIVER", "1"},
                    {"MALLOWBY_LOG_NOTIFICATIONS", "1"}, {"DBUS_SESSION_BUS_ADDRESS", bus.address()}},
                   "[General]\nnotifyTransferFinished=true\n");
    QDir::setCurrent(shellDirectory);

    QList<std::array<qint64, 3>> progress;  // bytes left, rate, ms since the eject began
    const QRegularExpression flushing("^flushing: (\\d+) bytes left, (\\d+) B/s$");
    qsizetype seen = 0;
    qint64 sectors = sectorsWritten(image->device()), lastWriteAt = 0, unpluggableAt = -1, closedAt = -1, askedAt = -1;
    int cardChecks = 0, cardMissing = 0;
    bool ejected = false;
    const auto read = [&] {
        const QStringList lines = app.lines();
        for (; seen < lines.size(); ++seen) {
            const QString& text = lines[seen];
            if (const auto match = flushing.match(text); match.hasMatch())
                progress.append({match.captured(1).toLongLong(), match.captured(2).toLongLong(), clock.elapsed()});
            else if (text.startsWith("notification: disk.img can be unplugged") && unpluggableAt < 0)
                unpluggableAt = clock.elapsed();
            else if (text.startsWith("mallowby-driver\tnames\t")) {
                ++cardChecks;
                cardMissing += text.contains("\tEjecting…") ? 0 : 1;
                EXPECT_FALSE(text.contains("Couldn't eject")) << text.toStdString();
            } else
                ejected = ejected || text.startsWith("ejected: ");
        }
        return ejected;
    };
    const bool ended = TestEnvironment::waitUntil(
        [&] {
            if (const qint64 now = sectorsWritten(image->device()); now > sectors) {
                sectors = now;
                lastWriteAt = clock.elapsed();
            }
            if (read())
                return true;
            // Once the flush shows: "close" pressed on the panel halfway, the card looked at every 2 s.
            if (!progress.isEmpty() && closedAt < 0 && clock.elapsed() - progress.first()[2] > (longFlush ? 60'000 : 3'000)) {
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
    release();
    const QStringList lines = app.lines();
    ASSERT_TRUE(ended) << lines.join('\n').toStdString() << app.process().readAllStandardError().toStdString();
    image->markEjected();
    TestEnvironment::waitUntil([&] { return read() && unpluggableAt >= 0; }, 2s);
    monitor.terminate();
    monitor.waitForFinished();

    EXPECT_TRUE(lines.contains("ejected: true -")) << lines.join('\n').toStdString();
    EXPECT_EQ(QString::fromUtf8(monitor.readAllStandardOutput()).count("member=Unmount"), 1);
    EXPECT_GT(closedAt, 0);
    EXPECT_TRUE(lines.contains("mallowby-driver\tpressed\tclose")) << "no close on the card to press";
    EXPECT_GT(cardChecks, 0);
    EXPECT_EQ(cardMissing, 0) << "the card left while the drive was written";
    EXPECT_GE(unpluggableAt, lastWriteAt) << "\"can be unplugged\" came before the last write";
    // Falling amounts at the drive's own (throttled) rate.
    ASSERT_GE(progress.size(), 4) << lines.join('\n').toStdString();
    EXPECT_TRUE(!longFlush || endedAt - progress.first()[2] > 150'000) << "the flush outlasted no D-Bus timeout";
    EXPECT_GE(progress.first()[0], 300 * MB);
    EXPECT_LE(progress.last()[0], progress.first()[0] - 150 * MB);
    QList<qint64> rates;
    std::transform(progress.cbegin(), progress.cend(), std::back_inserter(rates), [](const auto& p) { return p[1]; });
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

    // The file is whole when the image is attached again.
    const QString again = memory.filePath("again");
    QDir().mkpath(again);
    ASSERT_EQ(step({"mount", "-o", "ro,loop", image->imagePath(), again}, {"umount", again}), QString());
    EXPECT_EQ(checksum(again + "/data"), expected);
}
