// One sample of the drive monitor over a sysfs tree of USB disks: the work the 1-second timer
// does. Reports the CPU time of a sample and, as items, of each drive in it.

#include "Drives/DriveMonitor.h"
#include "Platform/Linux/LinuxBlockRegistry.h"
#include "Platform/Linux/LinuxDiskDescriptions.h"
#include "Platform/MountTable.h"
#include "Volumes/VolumeStore.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QTemporaryDir>

#include <benchmark/benchmark.h>

using namespace mallowby;

namespace {

// Time moves only when told to, and timers never fire: the benchmark calls sample() itself.
class SteppingClock final : public Clock {
public:
    TimePoint now() const override { return m_now; }
    std::unique_ptr<Timer> schedule(Duration, std::optional<Duration>, std::function<void()>) override
    {
        return std::make_unique<Timer>();
    }
    void step(Duration by) { m_now += by; }

private:
    TimePoint m_now{std::chrono::hours(1)};
};

class Mounts final : public MountTable {
public:
    QList<VolumeStore::Mount> read() const override { return mounts; }
    QList<VolumeStore::Mount> mounts;
};

void write(const QString& path, const QByteArray& text)
{
    QDir().mkpath(QFileInfo(path).path());
    QFile file(path);
    if (!file.open(QIODevice::WriteOnly) || file.write(text) != text.size())
        qFatal("cannot write %s", qPrintable(path));
}

// `count` USB disks sda, sdb, … each with one partition mounted, as the kernel lays them out.
struct Machine {
    QTemporaryDir root;
    std::shared_ptr<Mounts> mounts = std::make_shared<Mounts>();
    SteppingClock clock;
    std::unique_ptr<VolumeStore> store;
    std::unique_ptr<DriveMonitor> monitor;

    explicit Machine(int count)
    {
        const QString base = root.path();
        for (int i = 0; i < count; ++i) {
            const QString disk = QStringLiteral("sd%1").arg(QChar('a' + i));
            const QString host = QStringLiteral("%1/devices/pci0000:00/0000:00:14.0/usb2/2-%2/2-%2:1.0/host%2/target%2:0:0/%2:0:0:0")
                                     .arg(base).arg(i + 1);
            const QString dir = host + QStringLiteral("/block/") + disk;
            write(host + QStringLiteral("/vendor"), "SanDisk \n");
            write(host + QStringLiteral("/model"), "Extreme Pro     \n");
            write(dir + QStringLiteral("/dev"), QStringLiteral("8:%1\n").arg(i * 16).toUtf8());
            write(dir + QStringLiteral("/diskseq"), QByteArray::number(100 + i) + '\n');
            write(dir + QStringLiteral("/removable"), "1\n");
            write(dir + QStringLiteral("/stat"),
                  "  912345        0 182469000   512345  1834567        0 366913400  2345678        0  1234567  2857023        0        0        0        0    23456    12345\n");
            write(dir + QStringLiteral("/") + disk + QStringLiteral("1/partition"), "1\n");
            write(dir + QStringLiteral("/") + disk + QStringLiteral("1/dev"), QStringLiteral("8:%1\n").arg(i * 16 + 1).toUtf8());
            QDir().mkpath(base + QStringLiteral("/class/block"));
            QFile::link(dir, base + QStringLiteral("/class/block/") + disk);
            QFile::link(dir + QStringLiteral("/") + disk + QStringLiteral("1"), base + QStringLiteral("/class/block/") + disk + QStringLiteral("1"));
            mounts->mounts.append(VolumeStore::Mount{.path = QStringLiteral("/run/media/me/DISK%1").arg(i),
                                                     .source = QStringLiteral("/dev/") + disk + QStringLiteral("1"),
                                                     .type = QStringLiteral("exfat")});
        }
        store = std::make_unique<VolumeStore>(
            SpaceReader{std::chrono::seconds(2), [](const QString&) { return std::optional(Space{.total = 1, .available = 1, .availableStrict = 1}); }},
            VolumeStore::Platform{mounts, std::make_shared<LinuxDiskDescriptions>(Sysfs(base), nullptr), {}}, clock);
        store->start();
        monitor = std::make_unique<DriveMonitor>(*store, DriveMonitor::Platform{std::make_shared<LinuxBlockRegistry>(Sysfs(base)), {}}, clock);
        monitor->start();
        monitor->setDetailed(true);
        if (monitor->drives().size() != count)
            qFatal("expected %d drives, have %d", count, int(monitor->drives().size()));
    }
};

void sampleDrives(benchmark::State& state)
{
    const int count = int(state.range(0));
    Machine machine(count);
    for (auto _ : state) {
        machine.clock.step(std::chrono::seconds(1));
        machine.monitor->sample();
    }
    benchmark::DoNotOptimize(machine.monitor->drives().first().readRate);
    state.SetItemsProcessed(state.iterations() * count);
    // Seconds per drive (of the timed clock), shown with an SI prefix ("1.2u" is 1.2 µs).
    state.counters["per_drive"] = benchmark::Counter(count, benchmark::Counter::kIsIterationInvariantRate | benchmark::Counter::kInvert);
}
BENCHMARK(sampleDrives)->Arg(1)->Arg(8)->MeasureProcessCPUTime()->UseRealTime()->Unit(benchmark::kMicrosecond);

// One counter read of a real disk of this machine, for comparison with the fixture files:
// the kernel formats the stat line on every read.
void readKernelCounters(benchmark::State& state)
{
    const Sysfs sysfs;
    std::unique_ptr<BlockDriver> driver;
    for (const QString& name : sysfs.blockDevices()) {
        if (sysfs.isPartition(name) || !sysfs.slaves(name).isEmpty())
            continue;
        if (const auto id = LinuxBlockRegistry::driverID(sysfs, name))
            if ((driver = LinuxBlockRegistry(sysfs).open(BlockDevice{*id, name})))
                break;
    }
    if (!driver) {
        state.SkipWithError("no block device to read here");
        return;
    }
    state.SetLabel(driver->device().bsdName.toStdString());
    for (auto _ : state)
        benchmark::DoNotOptimize(driver->counters());
}
BENCHMARK(readKernelCounters)->MeasureProcessCPUTime()->UseRealTime();

} // namespace

int main(int argc, char** argv)
{
    QCoreApplication app(argc, argv);
    benchmark::Initialize(&argc, argv);
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
