#include "Drives/DriveMonitor.h"
#include "Platform/Linux/LinuxBlockDriver.h"
#include "Platform/Linux/LinuxBlockRegistry.h"
#include "Platform/Linux/LinuxPlatform.h"
#include "Volumes/VolumeStore.h"

#include "support/LoopImage.h"
#include "support/TestEnvironment.h"

#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>
#include <QProcess>

#include <gtest/gtest.h>

#include <fcntl.h>
#include <linux/loop.h>
#include <sys/ioctl.h>
#include <unistd.h>

using namespace mallowby;
using namespace mallowby::test;
using namespace std::chrono_literals;

namespace {

QProcessEnvironment dumpEnvironment(const QString& rates)
{
    auto environment = QProcessEnvironment::systemEnvironment();
    for (const char* key : {"DISPLAY", "WAYLAND_DISPLAY", "QT_QPA_PLATFORM", "MALLOWBY_DUMP_VOLUMES"})
        environment.remove(QString::fromLatin1(key));
    environment.insert(QStringLiteral("MALLOWBY_DUMP_RATES"), rates);
    return environment;
}

QList<QStringList> table(const QString& out)
{
    QList<QStringList> rows;
    for (const QString& line : out.split(QLatin1Char('\n'), Qt::SkipEmptyParts))
        rows << line.split(QLatin1Char('\t'));
    return rows;
}

// Keeps rewriting a file with direct I/O, one dd after another, while the event loop runs.
class Writer {
public:
    Writer(QString file, int megabytes) : m_file(std::move(file)), m_megabytes(megabytes)
    {
        QObject::connect(&m_dd, &QProcess::finished, [this](int code) {
            m_failed = m_failed || code != 0;
            ++m_runs;
            if (m_running)
                next();
        });
    }
    ~Writer()
    {
        m_running = false;
        m_dd.waitForFinished(10000);
    }

    void start()
    {
        m_running = true;
        next();
    }
    void stop() { m_running = false; }
    int runs() const { return m_runs; }
    bool failed() const { return m_failed; }
    QString error() { return QString::fromUtf8(m_dd.readAllStandardError()); }

    // One write of the whole size, waited for while the event loop runs.
    bool writeOnce(std::chrono::milliseconds timeout)
    {
        const int before = m_runs;
        next();
        return TestEnvironment::waitUntil([&] { return m_runs > before; }, timeout) && !m_failed;
    }

private:
    void next()
    {
        m_dd.start(QStringLiteral("dd"), {QStringLiteral("if=/dev/zero"), QStringLiteral("of=") + m_file, QStringLiteral("bs=1M"),
                                          QStringLiteral("count=%1").arg(m_megabytes), QStringLiteral("oflag=direct"),
                                          QStringLiteral("conv=notrunc"), QStringLiteral("status=none")});
    }

    QProcess m_dd;
    QString m_file;
    int m_megabytes;
    bool m_running = false;
    bool m_failed = false;
    int m_runs = 0;
};

quint64 kernelBytesWritten(const QString& disk)
{
    QFile stat(QStringLiteral("/sys/block/") + disk + QStringLiteral("/stat"));
    if (!stat.open(QIODevice::ReadOnly))
        return 0;
    const auto counters = LinuxBlockDriver::parseStat(stat.readAll().toStdString());
    return counters ? counters->bytesWritten : 0;
}

} // namespace

TEST(RateDump, ShowsWritesToALoopMountedImageUnderTheImagesName)
{
    if (const auto missing = TestEnvironment::missingForLoopDevices())
        GTEST_SKIP() << missing->toStdString();
    LoopImage image(QStringLiteral("RateDump"), 96);
    ASSERT_TRUE(image.isReady()) << image.error().toStdString();
    ASSERT_TRUE(image.mount()) << image.error().toStdString();
    const QString disk = QFileInfo(image.device()).fileName();

    Writer writer(image.mountPath() + QStringLiteral("/data"), 16);
    writer.start();
    QProcess dump;
    dump.setProcessEnvironment(dumpEnvironment(QStringLiteral("4")));
    QElapsedTimer elapsed;
    elapsed.start();
    dump.start(TestEnvironment::mallowbyBinary(), {});
    const bool ended = TestEnvironment::waitUntil([&] { return dump.state() == QProcess::NotRunning; }, 15s);
    writer.stop();
    if (!ended)
        dump.kill();
    ASSERT_TRUE(ended) << "the dump did not end";
    EXPECT_LT(elapsed.elapsed(), 8000);
    EXPECT_EQ(dump.exitCode(), 0) << dump.readAllStandardError().toStdString();
    EXPECT_FALSE(writer.failed()) << writer.error().toStdString();
    EXPECT_GT(writer.runs(), 0);

    const auto rows = table(QString::fromUtf8(dump.readAllStandardOutput()));
    ASSERT_FALSE(rows.isEmpty());
    EXPECT_EQ(rows[0], (QStringList{"time", "drive", "disks", "kind", "read", "write"}));
    QList<QStringList> imageRows;
    QStringList times;
    for (const auto& row : rows.mid(1)) {
        ASSERT_EQ(row.size(), 6) << row.join('|').toStdString();
        if (row[2] == disk)
            imageRows.append(row);
        if (row[1] == "external total")
            times.append(row[0]);
    }
    // One block per second for four seconds; the last at or beyond 4.0.
    EXPECT_GE(times.size(), 3);
    EXPECT_LE(times.size(), 5);
    EXPECT_GE(times.last().toDouble(), 4.0);
    ASSERT_EQ(imageRows.size(), times.size());
    int writing = 0;
    for (const auto& row : imageRows) {
        EXPECT_EQ(row[1], "disk.img");
        EXPECT_EQ(row[3], "diskImage");
        writing += row[5].toLongLong() > 0;
    }
    EXPECT_GE(writing, 2) << "blocks with writes to " << disk.toStdString();
}

TEST(RateDump, AValueThatIsNoWholeNumberRunsTheVolumeDump)
{
    // The value's parse is DumpModes' own test; here the program picks the dump by it.
    for (const auto& [value, header] : {std::pair{"1.5", "name"}, std::pair{"+1", "time"}}) {
        QProcess dump;
        dump.setProcessEnvironment(dumpEnvironment(QString::fromLatin1(value)));
        dump.start(TestEnvironment::mallowbyBinary(), {});
        ASSERT_TRUE(dump.waitForFinished(10000));
        const auto rows = table(QString::fromUtf8(dump.readAllStandardOutput()));
        ASSERT_GE(rows.size(), 2);
        EXPECT_EQ(rows[0].first(), header) << value;
    }
}

TEST(BlockCounters, TheMonitorAccountsForWhatTheKernelCountsWithinOnePercent)
{
    if (const auto missing = TestEnvironment::missingForLoopDevices())
        GTEST_SKIP() << missing->toStdString();
    LoopImage image(QStringLiteral("Counting"), 160);
    ASSERT_TRUE(image.isReady()) << image.error().toStdString();
    ASSERT_TRUE(image.mount()) << image.error().toStdString();
    const QString disk = QFileInfo(image.device()).fileName();

    VolumeStore store(SpaceReader{2s}, LinuxPlatform::volumeStore());
    DriveMonitor monitor(store, {LinuxPlatform::driveMonitor().registry, {}});
    store.start();
    monitor.start();
    const auto imageDrive = [&]() -> const Drive* {
        for (const Drive& drive : monitor.drives())
            if (drive.members.size() == 1 && drive.members.first().bsdName == disk)
                return &drive;
        return nullptr;
    };
    ASSERT_TRUE(TestEnvironment::waitUntil([&] { return imageDrive() != nullptr; }, 5s));
    EXPECT_EQ(imageDrive()->name, "disk.img");

    // At every sample: the drive's session count, the kernel's count, and the rate integral.
    struct Reading {
        quint64 session;
        quint64 kernel;
        double integral;
    };
    QList<Reading> readings;
    double integral = 0;
    auto last = std::chrono::steady_clock::now();
    monitor.setOnSample([&] {
        const auto now = std::chrono::steady_clock::now();
        const Drive* drive = imageDrive();
        if (!drive || !drive->writeRate)
            return;
        integral += *drive->writeRate * std::chrono::duration<double>(now - last).count();
        last = now;
        readings.append({drive->session.bytesWritten, kernelBytesWritten(disk), integral});
    });
    monitor.setDetailed(true);
    ASSERT_TRUE(TestEnvironment::waitUntil([&] { return readings.size() >= 1; }, 3s));
    const Reading before = readings.last();

    constexpr int megabytes = 128;
    Writer writer(image.mountPath() + QStringLiteral("/data"), megabytes);
    ASSERT_TRUE(writer.writeOnce(60s)) << writer.error().toStdString();
    const qsizetype count = readings.size();
    ASSERT_TRUE(TestEnvironment::waitUntil([&] { return readings.size() > count; }, 3s));
    const Reading after = readings.last();

    const double kernel = double(after.kernel - before.kernel);
    const double accounted = double(after.session - before.session);
    const double integrated = after.integral - before.integral;
    EXPECT_GE(kernel, double(megabytes) * 1024 * 1024);
    EXPECT_NEAR(accounted, kernel, kernel * 0.01);
    EXPECT_NEAR(integrated, kernel, kernel * 0.01);
    RecordProperty("kernel_bytes", QString::number(qint64(kernel)).toStdString());
    RecordProperty("accounted_bytes", QString::number(qint64(accounted)).toStdString());
    RecordProperty("integrated_bytes", QString::number(qint64(integrated)).toStdString());
}

TEST(BlockCounters, ARemovedDeviceGivesNoCountersAndItsNameNoLongerOpensIt)
{
    if (const auto missing = TestEnvironment::missingForLoopDevices())
        GTEST_SKIP() << missing->toStdString();
    const int control = ::open("/dev/loop-control", O_RDWR | O_CLOEXEC);
    ASSERT_GE(control, 0);
    int number = -1;
    for (int i = 200; i < 250 && number < 0; ++i)
        if (!QFileInfo::exists(QStringLiteral("/sys/class/block/loop%1").arg(i)) && ::ioctl(control, LOOP_CTL_ADD, i) >= 0)
            number = i;
    ASSERT_GE(number, 0) << "no loop device number free to add";
    const QString name = QStringLiteral("loop%1").arg(number);
    const auto remove = [&] {
        // udev may still have it open for a moment after it appeared.
        return TestEnvironment::waitUntil([&] { return ::ioctl(control, LOOP_CTL_REMOVE, number) >= 0 || errno != EBUSY; }, 5s);
    };

    const LinuxBlockRegistry registry;
    const auto members = registry.members(name);
    ASSERT_EQ(members.size(), 1);
    auto driver = registry.open(members.first());
    ASSERT_NE(driver, nullptr);
    EXPECT_TRUE(driver->counters().has_value());

    ASSERT_TRUE(remove());
    EXPECT_FALSE(QFileInfo::exists("/sys/class/block/" + name));
    EXPECT_EQ(driver->counters(), std::nullopt);

    // The same name again is another attachment.
    ASSERT_GE(::ioctl(control, LOOP_CTL_ADD, number), 0);
    const auto again = registry.members(name);
    ASSERT_EQ(again.size(), 1);
    EXPECT_NE(again.first().driverID, members.first().driverID);
    EXPECT_EQ(registry.open(members.first()), nullptr);
    EXPECT_NE(registry.open(again.first()), nullptr);
    remove();
    ::close(control);
}
