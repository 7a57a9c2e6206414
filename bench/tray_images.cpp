// Writes the tray image of every style, at scale 1 and 2, in both appearances, as PNG files:
// tray_images DIRECTORY. For a person to look at.

#include "MenuBar/MenuBarRenderer.h"

#include <QDir>
#include <QGuiApplication>

#include <cmath>
#include <cstdio>

using namespace mallowby;

namespace {

// A transfer that speeds up: reads climb to 40 MB/s, writes to 90 MB/s.
MenuBarRenderer::Inputs::Trace risingTrace()
{
    MenuBarRenderer::Inputs::Trace trace;
    for (int i = 0; i < 28; ++i) {
        const double t = i / 27.0;
        trace.read << 40e6 * t * t;
        trace.write << 90e6 * t + 4e6 * std::sin(i);
    }
    return trace;
}

struct Sample {
    const char* name;
    MenuBarRenderer::Inputs inputs;
};

QList<Sample> samples()
{
    MenuBarRenderer::Inputs base;
    base.pinnedName = QStringLiteral("Backup");
    base.pinnedAvailable = 1.5e12;
    base.readRate = 31.7e6;
    base.writeRate = 88e6;

    QList<Sample> list;
    auto add = [&](const char* name, MenuBarStyle style, QList<MenuBarStyle> reserved, auto&& adjust) {
        MenuBarRenderer::Inputs inputs = base;
        inputs.style = style;
        inputs.reserved = reserved;
        adjust(inputs);
        list << Sample{name, inputs};
    };
    const auto same = [](MenuBarRenderer::Inputs&) {};
    add("icon", MenuBarStyle::icon, {MenuBarStyle::icon}, same);
    add("icon-badge", MenuBarStyle::icon, {MenuBarStyle::icon}, [](auto& in) { in.anyLow = true; });
    add("space", MenuBarStyle::space, {MenuBarStyle::space, MenuBarStyle::icon}, same);
    add("space-low", MenuBarStyle::space, {MenuBarStyle::space, MenuBarStyle::icon}, [](auto& in) {
        in.pinnedName = QStringLiteral("Photos Archive");
        in.pinnedAvailable = 812e6;
        in.pinnedLow = true;
        in.anyLow = true;
    });
    add("activity", MenuBarStyle::activity, {MenuBarStyle::activity}, [](auto& in) { in.readRate = 0; });
    add("activity-trace", MenuBarStyle::activity, {MenuBarStyle::activity}, [](auto& in) { in.trace = risingTrace(); });
    add("both", MenuBarStyle::spaceActivity, {MenuBarStyle::spaceActivity, MenuBarStyle::activity},
        [](auto& in) { in.trace = risingTrace(); });
    return list;
}

} // namespace

int main(int argc, char** argv)
{
    if (argc != 2) {
        std::fprintf(stderr, "usage: tray_images DIRECTORY\n");
        return 2;
    }
    if (!qEnvironmentVariableIsSet("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", "offscreen");
    QGuiApplication app(argc, argv);
    const QDir dir(QString::fromLocal8Bit(argv[1]));
    if (!dir.mkpath(QStringLiteral("."))) {
        std::fprintf(stderr, "tray_images: cannot create %s\n", argv[1]);
        return 1;
    }
    int failures = 0;
    for (const QString& appearance : {QStringLiteral("light"), QStringLiteral("dark")}) {
        for (const Sample& sample : samples()) {
            for (double scale : {1.0, 2.0}) {
                const MenuBarRenderer::Layout layout = MenuBarRenderer::layout(sample.inputs);
                const std::optional<QImage> image = MenuBarRenderer::render(layout, appearance, scale);
                const QString path =
                    dir.filePath(QStringLiteral("%1-%2@%3x.png").arg(QLatin1String(sample.name), appearance).arg(scale));
                if (!image || !image->save(path, "PNG")) {
                    std::fprintf(stderr, "tray_images: could not write %s\n", qPrintable(path));
                    ++failures;
                    continue;
                }
                std::printf("%s\t%gx%g points\n", qPrintable(path), image->width() / scale, image->height() / scale);
            }
        }
    }
    return failures == 0 ? 0 : 1;
}
