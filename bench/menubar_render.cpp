// Layout plus render of the tray image in the "both" style with a trace, caches warm: what every
// drive monitor sample costs when the image changes.

#include "MenuBar/MenuBarRenderer.h"

#include <QGuiApplication>

#include <benchmark/benchmark.h>

#include <cmath>

using namespace mallowby;

namespace {

// Sixteen successive states of a copy in progress: rates and trace move on each tick.
QList<MenuBarRenderer::Inputs> ticks()
{
    QList<MenuBarRenderer::Inputs> list;
    for (int tick = 0; tick < 16; ++tick) {
        MenuBarRenderer::Inputs in;
        in.style = MenuBarStyle::spaceActivity;
        in.reserved = {MenuBarStyle::spaceActivity, MenuBarStyle::activity};
        in.pinnedName = QStringLiteral("Photos Archive");
        in.pinnedAvailable = 812e9 - tick * 90e6;
        in.readRate = 1e6 * (3 + tick % 5);
        in.writeRate = 1e6 * (60 + 7 * tick);
        MenuBarRenderer::Inputs::Trace trace;
        for (int i = 0; i < 28; ++i) {
            trace.read << 1e6 * (3 + (i + tick) % 5);
            trace.write << 1e6 * (60 + 25 * std::sin(0.4 * (i + tick)));
        }
        in.trace = trace;
        list << in;
    }
    return list;
}

void layoutAndRender(benchmark::State& state, double scale)
{
    const QList<MenuBarRenderer::Inputs> inputs = ticks();
    for (const auto& in : inputs)  // warm the measurement, glyph and symbol caches
        MenuBarRenderer::render(MenuBarRenderer::layout(in), QStringLiteral("dark"), scale);
    qsizetype i = 0;
    for (auto _ : state) {
        const MenuBarRenderer::Layout layout = MenuBarRenderer::layout(inputs[i++ % inputs.size()]);
        std::optional<QImage> image = MenuBarRenderer::render(layout, QStringLiteral("dark"), scale);
        benchmark::DoNotOptimize(image);
    }
}

void layoutOnly(benchmark::State& state)
{
    const QList<MenuBarRenderer::Inputs> inputs = ticks();
    MenuBarRenderer::layout(inputs.first());
    qsizetype i = 0;
    for (auto _ : state) {
        MenuBarRenderer::Layout layout = MenuBarRenderer::layout(inputs[i++ % inputs.size()]);
        benchmark::DoNotOptimize(layout);
    }
}

} // namespace

BENCHMARK_CAPTURE(layoutAndRender, both_trace_scale2, 2.0)->Unit(benchmark::kMicrosecond);
BENCHMARK_CAPTURE(layoutAndRender, both_trace_scale1, 1.0)->Unit(benchmark::kMicrosecond);
BENCHMARK(layoutOnly)->Unit(benchmark::kMicrosecond);

int main(int argc, char** argv)
{
    if (!qEnvironmentVariableIsSet("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", "offscreen");
    QGuiApplication app(argc, argv);
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv))
        return 1;
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
