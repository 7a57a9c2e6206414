// The trace of one drive after the same 200 samples, drawn whole (as every sample once was) and
// step by step, as PNG files, with their pixel difference.
// Usage: trace_images OUTPUT_DIR
#include "Popover/Cards/TraceView.h"

#include "support/ImageCompare.h"

#include <QApplication>
#include <QPainter>

#include <cmath>
#include <cstdio>

using namespace mallowby;
using Tone = PopoverTheme::Tone;

int main(int argc, char** argv)
{
    if (!qEnvironmentVariableIsSet("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication app(argc, argv);
    if (argc != 2) {
        std::fprintf(stderr, "usage: trace_images OUTPUT_DIR\n");
        return 2;
    }
    const QString out = QString::fromLocal8Bit(argv[1]);
    TraceView view;
    view.resize(300, 40);
    view.show();
    QList<double> reads(60, 0.0), writes(60, 0.0);
    double scale = 0;
    QImage stepped;
    for (int s = 0; s < 200; ++s) {
        reads.removeFirst();
        reads.append(4e6 * (1.3 + std::sin(s / 9.0)) + 8e5 * ((s * 7919) % 13) / 13.0);
        writes.removeFirst();
        writes.append(80'000.0 * s);
        scale = 1e6;
        for (double v : reads + writes)
            scale = std::max(scale, v);
        view.set({reads, Tone::accent}, scale, TraceView::Series{writes, Tone::write});
        stepped = QImage(view.size(), QImage::Format_ARGB32_Premultiplied);
        stepped.fill(Qt::transparent);
        view.render(&stepped, {}, {}, QWidget::RenderFlags());
    }
    QImage whole(view.size(), QImage::Format_ARGB32_Premultiplied);
    whole.fill(Qt::transparent);
    {
        QPainter painter(&whole);
        TraceView::draw(painter, QRectF(0, 0, 300, 40), view.palette(), {reads, Tone::accent}, scale,
                        TraceView::Series{writes, Tone::write});
    }
    // On white, as a card shows them, and their difference.
    const auto onWhite = [](const QImage& image) {
        QImage shown(image.size(), QImage::Format_RGB32);
        shown.fill(Qt::white);
        QPainter(&shown).drawImage(0, 0, image);
        return shown;
    };
    const QImage a = onWhite(whole), b = onWhite(stepped);
    QImage difference(a.size(), QImage::Format_RGB32);
    int maxChannel = 0;
    qsizetype differing = 0;
    for (int y = 0; y < a.height(); ++y)
        for (int x = 0; x < a.width(); ++x) {
            const QRgb p = a.pixel(x, y), q = b.pixel(x, y);
            const int d = std::max({std::abs(qRed(p) - qRed(q)), std::abs(qGreen(p) - qGreen(q)), std::abs(qBlue(p) - qBlue(q))});
            maxChannel = std::max(maxChannel, d);
            differing += d > 0;
            difference.setPixel(x, y, qRgb(255 - d, 255 - d, 255 - d));
        }
    a.save(out + "/trace-whole.png");
    b.save(out + "/trace-stepped.png");
    difference.save(out + "/trace-difference.png");
    std::printf("whole draws while stepping: %lld of 200 samples\n", qint64(view.wholeDraws()));
    std::printf("pixels differing: %lld of %d, largest channel difference %d\n", qint64(differing), a.width() * a.height(),
                maxChannel);
    std::printf("pixels with no match within one pixel (channel tolerance 16): %lld\n",
                qint64(test::pixelsBeyondOne(a, b, 16)));
    return 0;
}
