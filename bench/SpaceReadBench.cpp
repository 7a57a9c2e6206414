// One capacity read through the helper process (request, statvfs there, answer, resumption on
// the event loop) against a direct statvfs of the same path, each the median of 1000 single
// reads in wall-clock time; and the proportional memory (PSS) of an idle helper.
// Goals: under 0.2 ms added per read; under 1 MB per idle helper.
// Usage: bench_space_read [PATH] [benchmark options]   (PATH defaults to /)

#include "Volumes/SpaceHelper.h"
#include "Volumes/SpaceReader.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>

#include <benchmark/benchmark.h>

#include <sys/statvfs.h>
#include <unistd.h>

using namespace mallowby;

namespace {

QString path = QStringLiteral("/");

std::optional<Space> readThroughHelper(const SpaceReader& reader)
{
    std::optional<std::optional<Space>> answer;
    [](const SpaceReader& reader, std::optional<std::optional<Space>>& answer) -> QCoro::Task<> {
        answer = co_await reader.read(path);
    }(reader, answer);
    while (!answer)
        QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents);
    return *answer;
}

void DirectStatvfs(benchmark::State& state)
{
    const QByteArray name = QFile::encodeName(path);
    for (auto _ : state) {
        struct statvfs info {};
        benchmark::DoNotOptimize(::statvfs(name.constData(), &info));
    }
}

void ThroughHelper(benchmark::State& state)
{
    const SpaceReader reader{std::chrono::seconds(2)};
    if (!readThroughHelper(reader))  // starts the helper, outside the timing
        state.SkipWithError("the helper gives no figures");
    for (auto _ : state)
        benchmark::DoNotOptimize(readThroughHelper(reader));
}

// Proportional set size of our idle helper children, in kB, from smaps_rollup.
void IdleHelperMemory(benchmark::State& state)
{
    readThroughHelper(SpaceReader{std::chrono::seconds(2)});
    double pss = 0;
    int helpers = 0;
    for (auto _ : state) {
        pss = 0;
        helpers = 0;
        const QString tasks = QStringLiteral("/proc/%1/task").arg(::getpid());
        for (const QString& task : QDir(tasks).entryList(QDir::Dirs | QDir::NoDotAndDotDot)) {
            QFile children(tasks + QLatin1Char('/') + task + QStringLiteral("/children"));
            if (!children.open(QIODevice::ReadOnly))
                continue;
            for (const QByteArray& child : children.readAll().split(' ')) {
                QFile rollup(QStringLiteral("/proc/%1/smaps_rollup").arg(QString::fromLatin1(child.trimmed())));
                if (child.trimmed().isEmpty() || !rollup.open(QIODevice::ReadOnly))
                    continue;
                for (const QByteArray& line : rollup.readAll().split('\n'))
                    if (line.startsWith("Pss:"))
                        pss += line.simplified().split(' ').value(1).toDouble();
                ++helpers;
            }
        }
    }
    state.counters["helpers"] = helpers;
    state.counters["pss_kB_each"] = helpers ? pss / helpers : 0;
}

} // namespace

BENCHMARK(DirectStatvfs)->Iterations(1)->Repetitions(1000)->ReportAggregatesOnly(true)->UseRealTime()->Unit(benchmark::kMicrosecond);
BENCHMARK(ThroughHelper)->Iterations(1)->Repetitions(1000)->ReportAggregatesOnly(true)->UseRealTime()->Unit(benchmark::kMicrosecond);
BENCHMARK(IdleHelperMemory)->Iterations(1);

int main(int argc, char** argv)
{
    QCoreApplication app(argc, argv);
    // The helper beside this program's build tree, as the app finds it beside itself.
    SpaceHelper::setProgram(QStringLiteral(MALLOWBY_SPACE_HELPER));
    benchmark::Initialize(&argc, argv);
    if (argc > 1)
        path = QString::fromLocal8Bit(argv[1]);
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
