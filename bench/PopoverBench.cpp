// The popover over a machine of 8 USB drives with 2 volumes each (offscreen): opening it to its
// first complete paint, one sample applied to the open popover with its repaint (beside the same
// sample with the popover closed), and the resident memory over 200 openings.

#include "PopoverWorld.h"

#include "MenuBar/StatusItemController.h"
#include "Popover/PopoverWindow.h"

#include <QApplication>
#include <QFile>

#include <benchmark/benchmark.h>

#include <algorithm>
#include <chrono>
#include <ctime>
#include <unistd.h>

using namespace mallowby;
using namespace mallowby::bench;

namespace {

constexpr qint64 GB = 1'000'000'000;
constexpr int driveCount = 8;

std::unique_ptr<PopoverWorld> eightDrives()
{
    auto world = std::make_unique<PopoverWorld>();
    world->addFixture(QStringLiteral("nvme-internal"));
    world->mount(QStringLiteral("/"), QStringLiteral("/dev/nvme0n1p2"));
    world->setSpace(QStringLiteral("/"), {.total = 1000 * GB, .available = 400 * GB, .availableStrict = 400 * GB});
    for (int i = 0; i < driveCount; ++i) {
        const QString disk = QStringLiteral("sd%1").arg(QChar('b' + i));
        world->addUsbDisk(disk, i + 1, QStringLiteral("Drive %1").arg(i + 1), 2);
        for (int p = 1; p <= 2; ++p) {
            const QString path = QStringLiteral("/run/media/me/D%1P%2").arg(i + 1).arg(p);
            world->mount(path, QStringLiteral("/dev/%1%2").arg(disk).arg(p));
            world->setSpace(path, {.total = (100 + 50 * i) * GB, .available = (10 + 7 * i * p) * GB, .availableStrict = (10 + 7 * i * p) * GB});
        }
    }
    world->start();
    return world;
}

void close(PopoverWorld& world)
{
    world.controller().popover()->performClose();
    QCoreApplication::processEvents();
    QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
}

// The first `active` drives read and write a little more each second; the others stay idle,
// and an idle card's figures and trace do not change.
void moveCounters(PopoverWorld& world, quint64 second, int active)
{
    for (int i = 0; i < active; ++i)
        world.setCounters(QStringLiteral("sd%1").arg(QChar('b' + i)),
                          {second * 1'000'000 * quint64(i + 1), second * second * 40'000 * quint64(i + 1)});
}

double cpuMilliseconds()
{
    timespec t{};
    clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &t);
    return double(t.tv_sec) * 1e3 + double(t.tv_nsec) / 1e6;
}

qint64 residentKilobytes()
{
    QFile statm(QStringLiteral("/proc/self/statm"));
    if (!statm.open(QIODevice::ReadOnly))
        return 0;
    const QList<QByteArray> fields = statm.readAll().split(' ');
    return fields.size() > 1 ? fields[1].toLongLong() * sysconf(_SC_PAGESIZE) / 1024 : 0;
}

// The timed part of a sample: the tick and the repaint. Out of line, so that a profiler can
// count it alone: valgrind --tool=callgrind --collect-atstart=no --toggle-collect='*applySample*'.
[[gnu::noinline]] void applySample(PopoverWorld& world)
{
    world.clock().advance(std::chrono::seconds(1));
    QCoreApplication::processEvents();  // the repaint
}

// The timed part of an opening; out of line for a profiler (--toggle-collect='*openToFirstPaint*').
[[gnu::noinline]] void openToFirstPaint(PopoverWorld& world)
{
    world.controller().showPopover(std::nullopt, false);
    PopoverWindow* popover = world.controller().popover();
    QCoreApplication::processEvents();  // layout and the height fit
    popover->repaint();                 // every view painted once
}

void BM_OpenToFirstPaint(benchmark::State& state)
{
    auto world = eightDrives();
    world->drives().setDetailed(true);
    std::vector<double> milliseconds, cpu;
    quint64 second = 1;
    for (auto _ : state) {
        const double cpuStart = cpuMilliseconds();
        const auto start = std::chrono::steady_clock::now();
        openToFirstPaint(*world);
        const std::chrono::duration<double, std::milli> elapsed = std::chrono::steady_clock::now() - start;
        milliseconds.push_back(elapsed.count());
        cpu.push_back(cpuMilliseconds() - cpuStart);
        state.SetIterationTime(elapsed.count() / 1000);
        state.PauseTiming();
        close(*world);
        // Every drive moved data while the popover was closed: it opens on new figures.
        moveCounters(*world, ++second, driveCount);
        applySample(*world);
        state.ResumeTiming();
    }
    std::sort(milliseconds.begin(), milliseconds.end());
    std::sort(cpu.begin(), cpu.end());
    state.counters["median_ms"] = milliseconds[milliseconds.size() / 2];
    state.counters["p90_ms"] = milliseconds[milliseconds.size() * 9 / 10];
    state.counters["median_cpu_ms"] = cpu[cpu.size() / 2];
}
BENCHMARK(BM_OpenToFirstPaint)->UseManualTime()->Iterations(60)->Unit(benchmark::kMillisecond);


// One sample of all drives, with the open popover updating and repainting (or closed); the
// argument is the number of drives moving data.
void sample(benchmark::State& state, bool open)
{
    auto world = eightDrives();
    // Closed: after it was open once, as it is for most of a session.
    world->controller().showPopover(std::nullopt, false);
    if (!open)
        close(*world);
    world->drives().setDetailed(true);
    world->settle();
    quint64 second = 1;
    for (auto _ : state) {
        state.PauseTiming();
        moveCounters(*world, ++second, int(state.range(0)));
        state.ResumeTiming();
        applySample(*world);
    }
    if (open)
        close(*world);
}

void BM_SampleWithPopoverOpen(benchmark::State& state)
{
    sample(state, true);
}
BENCHMARK(BM_SampleWithPopoverOpen)->Arg(driveCount)->Arg(4)->Arg(1)->Iterations(300)->Unit(benchmark::kMicrosecond);

void BM_SampleWithPopoverClosed(benchmark::State& state)
{
    sample(state, false);
}
BENCHMARK(BM_SampleWithPopoverClosed)->Arg(driveCount)->Arg(4)->Arg(1)->Iterations(300)->Unit(benchmark::kMicrosecond);

void BM_ResidentMemoryOver200Openings(benchmark::State& state)
{
    auto world = eightDrives();
    for (auto _ : state) {
        auto cycle = [&] {
            world->controller().showPopover(std::nullopt, false);
            QCoreApplication::processEvents();
            world->controller().popover()->repaint();
            close(*world);
            QCoreApplication::processEvents();
        };
        cycle();
        const qint64 first = residentKilobytes();
        for (int i = 1; i < 200; ++i)
            cycle();
        const qint64 last = residentKilobytes();
        state.counters["rss_after_1_kb"] = double(first);
        state.counters["rss_after_200_kb"] = double(last);
        state.counters["growth_kb"] = double(last - first);
    }
}
BENCHMARK(BM_ResidentMemoryOver200Openings)->Iterations(1)->Unit(benchmark::kMillisecond);

} // namespace

int main(int argc, char** argv)
{
    if (!qEnvironmentVariableIsSet("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication app(argc, argv);
    app.setQuitOnLastWindowClosed(false);
    benchmark::Initialize(&argc, argv);
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
