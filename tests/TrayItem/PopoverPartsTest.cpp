// The popover's building blocks on their own: the keyed stack that keeps views across updates,
// and the trace's drawing.

#include "Popover/Controls/KeyedStack.h"
#include "Popover/Cards/TraceView.h"

#include "support/ImageCompare.h"

#include <QCoreApplication>
#include <QImage>
#include <QLabel>
#include <QLayout>
#include <QPainter>
#include <QPointer>

#include <gtest/gtest.h>

#include <cmath>
#include <functional>

using namespace mallowby;

TEST(KeyedStack, KeepsTheViewOfEveryKeyItHoldsInTheNewOrder)
{
    KeyedStack stack(4);
    QStringList made;
    auto make = [&](const QString& key) {
        made << key;
        return new QLabel(key, &stack);
    };
    EXPECT_TRUE(stack.sync({"a", "b", "c"}, make));
    EXPECT_FALSE(stack.isHidden());
    QPointer<QWidget> a = stack.view("a"), b = stack.view("b"), c = stack.view("c");

    // Same keys: nothing happens. New order with one gone and one new: only the new one is made.
    EXPECT_FALSE(stack.sync({"a", "b", "c"}, make));
    made.clear();
    EXPECT_TRUE(stack.sync({"d", "c", "a"}, make));
    EXPECT_EQ(made, QStringList{"d"});
    EXPECT_EQ(stack.view("a"), a);
    EXPECT_EQ(stack.view("c"), c);
    EXPECT_EQ(stack.view("b"), nullptr);
    QList<QWidget*> order;
    for (int i = 0; i < stack.layout()->count(); ++i)
        order << stack.layout()->itemAt(i)->widget();
    EXPECT_EQ(order, (QList<QWidget*>{stack.view("d"), c, a}));
    // The removed view is hidden at once and deleted on a later turn (it may be sending a signal).
    ASSERT_FALSE(b.isNull());
    EXPECT_TRUE(b->isHidden());
    QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
    EXPECT_TRUE(b.isNull());

    // Empty: hidden, so the list's spacing does not count it.
    stack.sync({}, make);
    EXPECT_TRUE(stack.isHidden());
}

namespace {

// Rows of the image that hold any pixel of `color` (exactly).
QList<int> rowsWith(const QImage& image, QRgb color)
{
    QList<int> rows;
    for (int y = 0; y < image.height(); ++y)
        for (int x = 0; x < image.width(); ++x)
            if (image.pixel(x, y) == color) {
                rows << y;
                break;
            }
    return rows;
}

QImage drawTrace(const TraceView::Series& values, double scale, const std::optional<TraceView::Series>& mirror)
{
    QImage image(120, 40, QImage::Format_ARGB32);
    image.fill(Qt::white);
    QPalette palette;
    palette.setColor(QPalette::Link, QColor(0, 200, 0));
    palette.setColor(QPalette::LinkVisited, QColor(200, 0, 200));
    palette.setColor(QPalette::Text, Qt::black);
    QPainter painter(&image);
    TraceView::draw(painter, QRectF(0, 0, 120, 40), palette, values, scale, mirror);
    return image;
}

} // namespace

TEST(TraceView, ReadsRiseAndWritesFallFromTheMiddleCutAtTheScale)
{
    using Tone = PopoverTheme::Tone;
    // Reads far above the scale, writes at half of it, then a step down to nothing.
    const QList<double> reads{0, 5e6, 5e6, 5e6, 0};
    const QList<double> writes{0, 5e5, 5e5, 5e5, 0};
    const QImage image = drawTrace({reads, Tone::accent}, 1e6, TraceView::Series{writes, Tone::write});
    const QList<int> green = rowsWith(image, qRgb(0, 200, 0));
    const QList<int> magenta = rowsWith(image, qRgb(200, 0, 200));
    ASSERT_FALSE(green.isEmpty());
    ASSERT_FALSE(magenta.isEmpty());
    // The read line reaches the top edge (cut there, not beyond) and stays in the upper half.
    EXPECT_LE(green.first(), 1);
    EXPECT_LT(green.last(), 21);
    // The write line lies in the lower half, halfway down it.
    EXPECT_GE(magenta.first(), 19);
    EXPECT_NEAR(magenta.last(), 30, 2);

    // Fewer than two points, or no scale: nothing but the baseline.
    const QImage empty = drawTrace({{7e6}, Tone::accent}, 1e6, TraceView::Series{writes, Tone::write});
    EXPECT_TRUE(rowsWith(empty, qRgb(0, 200, 0)).isEmpty());
    const QImage unscaled = drawTrace({reads, Tone::accent}, 0, std::nullopt);
    EXPECT_TRUE(rowsWith(unscaled, qRgb(0, 200, 0)).isEmpty());
    // Without a mirror the baseline is the bottom edge and the line rises from there.
    const QImage single = drawTrace({writes, Tone::accent}, 1e6, std::nullopt);
    EXPECT_NEAR(rowsWith(single, qRgb(0, 200, 0)).first(), 20, 2);
}

TEST(TraceView, StepByStepTheSameAsDrawnWholeWithinOnePixel)
{
    using Tone = PopoverTheme::Tone;
    using Rate = std::function<double(int)>;
    struct Row {
        const char* name;
        Rate read, write;
        qint64 maxWholeDraws;  // of 200 samples
    };
    const auto wave = [](double base, double period) {
        return [=](int s) { return base * (1.3 + std::sin(s / period)) + base * 0.2 * ((s * 7919) % 13) / 13.0; };
    };
    const Row rows[] = {
        {"noisy steady rates", wave(4e6, 9), wave(2e6, 5), 60},
        {"writes rising every second", wave(3e6, 4), [](int s) { return 80'000.0 * s; }, 100},
        {"bursts between idle seconds", [](int s) { return s % 17 < 3 ? 9e6 : 0.0; }, [](int s) { return s % 11 == 0 ? 5e5 : 0.0; }, 60},
    };
    for (const Row& row : rows) {
        TraceView view;
        view.resize(300, 40);
        view.show();
        QList<double> reads(60, 0.0), writes(60, 0.0);
        double scale = 0;
        QImage shown;
        for (int s = 0; s < 200; ++s) {
            reads.removeFirst();
            reads.append(row.read(s));
            writes.removeFirst();
            writes.append(row.write(s));
            scale = 1e6;
            for (double v : reads + writes)
                scale = std::max(scale, v);
            view.set({reads, Tone::accent}, scale, TraceView::Series{writes, Tone::write});
            shown = QImage(view.size(), QImage::Format_ARGB32_Premultiplied);  // what the screen gets
            shown.fill(Qt::transparent);
            view.render(&shown, {}, {}, QWidget::RenderFlags());
        }
        QImage whole(view.size(), QImage::Format_ARGB32_Premultiplied);
        whole.fill(Qt::transparent);
        QPainter painter(&whole);
        TraceView::draw(painter, QRectF(0, 0, 300, 40), view.palette(), {reads, Tone::accent}, view.drawnScale(),
                        TraceView::Series{writes, Tone::write});
        painter.end();
        EXPECT_EQ(test::pixelsBeyondOne(shown, whole, 16), 0) << row.name;
        // The peak lies within one pixel of the edge of the 20-pixel half.
        EXPECT_LE(scale, view.drawnScale()) << row.name;
        EXPECT_GE(scale, view.drawnScale() * 19 / 20) << row.name;
        EXPECT_LE(view.wholeDraws(), row.maxWholeDraws) << row.name;
        EXPECT_GT(view.wholeDraws(), 0) << row.name;
    }
}
