// The popover's building blocks on their own: its window, the keyed stack that keeps views across
// updates, the trace's drawing, and the driver that presses controls for the end-to-end tests.

#include "AccessibilityDriver.h"
#include "Popover/Cards/TraceView.h"
#include "Popover/Controls/KeyedStack.h"
#include "Popover/PopoverWindow.h"

#include "support/ImageCompare.h"
#include "support/TestEnvironment.h"

#include <QCheckBox>
#include <QLabel>
#include <QPainter>
#include <QPointer>
#include <QPushButton>
#include <QSignalSpy>
#include <QTest>
#include <QVBoxLayout>

#include <gtest/gtest.h>

using namespace mallowby;
using Tone = PopoverTheme::Tone;
using namespace std::chrono_literals;

TEST(PopoverWindow, OpensUnderTheItemAboveABottomPanelInsideTheScreenAndClosesOnEscape)
{
    const QRect top(0, 24, 1920, 1056), bottom(0, 0, 1920, 1056);  // room left by a top or a bottom panel
    // Centred 4 pixels under the item; pushed left at the right edge; above an item on a bottom
    // panel; from the top of the room when taller than the room on either side.
    for (const auto& [size, item, available, at] :
         {std::tuple{QSize(340, 300), QRect(900, 1, 80, 22), top, QPoint(770, 27)},
          {QSize(340, 300), QRect(1880, 1, 40, 22), top, QPoint(1580, 27)},
          {QSize(340, 300), QRect(1800, 1058, 40, 22), bottom, QPoint(1580, 1058 - 4 - 300)},
          {QSize(340, 2000), QRect(900, 1, 80, 22), top, QPoint(770, 24)}})
        EXPECT_EQ(PopoverWindow::placement(size, item, available), at) << item.x() << "," << item.y();
    for (auto behavior : {PopoverWindow::Behavior::transient, PopoverWindow::Behavior::applicationDefined}) {
        PopoverWindow window(behavior);
        QSignalSpy closed(&window, &PopoverWindow::closed);
        window.showAt(QRect(), QPoint(100, 100));
        ASSERT_TRUE(window.isShown());
        EXPECT_EQ(window.width(), 340);
        EXPECT_FALSE(window.windowFlags().testFlag(Qt::Window) && !window.windowFlags().testFlag(Qt::FramelessWindowHint));
        QTest::keyClick(&window, Qt::Key_Escape);
        EXPECT_FALSE(window.isShown());
        EXPECT_EQ(closed.count(), 1);
    }
}

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
    QList<QWidget*> order;
    for (int i = 0; i < stack.layout()->count(); ++i)
        order << stack.layout()->itemAt(i)->widget();
    EXPECT_EQ(order, (QList<QWidget*>{stack.view("d"), c, a}));
    EXPECT_EQ(stack.view("b"), nullptr);
    // The removed view is hidden at once and deleted on a later turn (it may be sending a signal).
    ASSERT_TRUE(b && b->isHidden());
    QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
    EXPECT_TRUE(b.isNull());
    // Empty: hidden, so the list's spacing does not count it.
    stack.sync({}, make);
    EXPECT_TRUE(stack.isHidden());
}

TEST(TraceView, ReadsRiseAndWritesFallFromTheMiddleCutAtTheScale)
{
    // Rows holding a pixel of the read (green) and of the write (magenta) line.
    const auto rows = [](const TraceView::Series& reads, double scale, const std::optional<TraceView::Series>& writes) {
        QImage image(120, 40, QImage::Format_ARGB32);
        image.fill(Qt::white);
        QPalette palette;
        palette.setColor(QPalette::Link, QColor(0, 200, 0));
        palette.setColor(QPalette::LinkVisited, QColor(200, 0, 200));
        palette.setColor(QPalette::Text, Qt::black);
        QPainter painter(&image);
        TraceView::draw(painter, QRectF(0, 0, 120, 40), palette, reads, scale, writes);
        std::pair<QList<int>, QList<int>> found;
        for (int y = 0; y < image.height(); ++y) {
            const QRgb* line = reinterpret_cast<const QRgb*>(image.constScanLine(y));
            if (std::find(line, line + image.width(), qRgb(0, 200, 0)) != line + image.width())
                found.first << y;
            if (std::find(line, line + image.width(), qRgb(200, 0, 200)) != line + image.width())
                found.second << y;
        }
        return found;
    };
    // Reads far above the scale, writes at half of it, then a step down to nothing: the read line
    // reaches the top edge (cut there, not beyond) and stays in the upper half; the write line lies
    // in the lower half, halfway down it.
    const QList<double> reads{0, 5e6, 5e6, 5e6, 0}, writes{0, 5e5, 5e5, 5e5, 0};
    const auto [green, magenta] = rows({reads, Tone::accent}, 1e6, TraceView::Series{writes, Tone::write});
    ASSERT_FALSE(green.isEmpty() || magenta.isEmpty());
    EXPECT_LE(green.first(), 1);
    EXPECT_LT(green.last(), 21);
    EXPECT_GE(magenta.first(), 19);
    EXPECT_NEAR(magenta.last(), 30, 2);
    // Fewer than two points, or no scale: nothing but the baseline.
    EXPECT_TRUE(rows({{7e6}, Tone::accent}, 1e6, TraceView::Series{writes, Tone::write}).first.isEmpty());
    EXPECT_TRUE(rows({reads, Tone::accent}, 0, std::nullopt).first.isEmpty());
    // Without a mirror the baseline is the bottom edge and the line rises from there.
    EXPECT_NEAR(rows({writes, Tone::accent}, 1e6, std::nullopt).first.first(), 20, 2);
}

TEST(TraceView, StepByStepTheSameAsDrawnWholeWithinOnePixel)
{
    using Rate = std::function<double(int)>;
    const auto wave = [](double base, double period) {
        return [=](int s) { return base * (1.3 + std::sin(s / period)) + base * 0.2 * ((s * 7919) % 13) / 13.0; };
    };
    const struct {
        const char* name;
        Rate read, write;
        qint64 maxWholeDraws;  // of 200 samples
    } rows[] = {
        {"noisy steady rates", wave(4e6, 9), wave(2e6, 5), 60},
        {"writes rising every second", wave(3e6, 4), [](int s) { return 80'000.0 * s; }, 100},
        {"bursts between idle seconds", [](int s) { return s % 17 < 3 ? 9e6 : 0.0; }, [](int s) { return s % 11 == 0 ? 5e5 : 0.0; }, 60},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.name);
        TraceView view;
        view.resize(300, 40);
        view.show();
        QList<double> reads(60, 0.0), writes(60, 0.0);
        double scale = 0;
        QImage shown(view.size(), QImage::Format_ARGB32_Premultiplied), whole = shown;
        for (int s = 0; s < 200; ++s) {
            reads.removeFirst();
            reads.append(row.read(s));
            writes.removeFirst();
            writes.append(row.write(s));
            scale = std::max({1e6, *std::max_element(reads.begin(), reads.end()), *std::max_element(writes.begin(), writes.end())});
            view.set({reads, Tone::accent}, scale, TraceView::Series{writes, Tone::write});
            shown.fill(Qt::transparent);  // what the screen gets
            view.render(&shown, {}, {}, QWidget::RenderFlags());
        }
        whole.fill(Qt::transparent);
        QPainter painter(&whole);
        TraceView::draw(painter, QRectF(0, 0, 300, 40), view.palette(), {reads, Tone::accent}, view.drawnScale(),
                        TraceView::Series{writes, Tone::write});
        painter.end();
        EXPECT_EQ(test::pixelsBeyondOne(shown, whole, 16), 0);
        // The peak lies within one pixel of the edge of the 20-pixel half.
        EXPECT_LE(scale, view.drawnScale());
        EXPECT_GE(scale, view.drawnScale() * 19 / 20);
        EXPECT_GT(view.wholeDraws(), 0);
        EXPECT_LE(view.wholeDraws(), row.maxWholeDraws);
    }
}

TEST(AccessibilityDriver, ListsWhatIsShownAndPressesOnlyWhatCanBePressed)
{
    QWidget window;
    auto* layout = new QVBoxLayout(&window);
    auto* eject = new QPushButton("eject", &window);
    eject->setAccessibleName("Eject Stick");
    auto* retry = new QPushButton("retry", &window);
    retry->setEnabled(false);
    auto* hidden = new QPushButton("hidden", &window);
    auto* toggle = new QCheckBox("2 more", &window);
    for (QWidget* widget : std::initializer_list<QWidget*>{eject, retry, hidden, toggle})
        layout->addWidget(widget);
    hidden->hide();
    window.show();

    const QStringList names = AccessibilityDriver::answer("names").split('\t');
    EXPECT_EQ(names.value(0), "names");
    EXPECT_TRUE(names.contains("Eject Stick") && names.contains("retry") && !names.contains("hidden"));
    QSignalSpy clicked(eject, &QPushButton::clicked);
    for (const auto& [request, answer] : {std::pair{"press Eject Stick", "pressed\tEject Stick"}, {"press retry", "disabled\tretry"},
                                         {"press hidden", "missing\thidden"}, {"press 2 more", "pressed\t2 more"},
                                         {"frobnicate", "unknown\tfrobnicate"}})
        EXPECT_EQ(AccessibilityDriver::answer(request), answer);
    EXPECT_TRUE(clicked.count() == 1 || clicked.wait(1000));
    EXPECT_TRUE(test::TestEnvironment::waitUntil([&] { return toggle->isChecked(); }, 5s));
}
