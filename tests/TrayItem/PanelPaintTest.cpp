// A card or the popover's window repainting a part of itself (as for a changed figure) gives the
// pixels of a whole paint, inside, across the border and at a corner.

#include "Popover/Cards/Card.h"
#include "Popover/PopoverWindow.h"

#include "support/TestEnvironment.h"

#include <QPainter>

#include <gtest/gtest.h>

#include <memory>

using namespace mallowby;

TEST(PanelPaint, APartRepaintedMatchesTheWhole)
{
    std::unique_ptr<QWidget> panels[] = {std::make_unique<Card>(),
                                         std::make_unique<PopoverWindow>(PopoverWindow::Behavior::transient)};
    for (const auto& panel : panels) {
        panel->resize(200, 80);
        const int w = panel->width(), h = panel->height();
        const struct {
            const char* name;
            QRect part;
        } rows[] = {
            {"inside", {20, 12, w - 40, 30}},
            {"inside, against the corners' reach", {9, 9, 20, 20}},
            {"across the left border", {0, 30, 40, 10}},
            {"a corner", {0, 0, 12, 12}},
            {"the bottom right corner", {w - 14, h - 14, 14, 14}},
        };
        QImage whole(panel->size(), QImage::Format_ARGB32_Premultiplied);
        whole.fill(Qt::transparent);
        panel->render(&whole, {}, {}, QWidget::RenderFlags());
        for (const auto& row : rows) {
            SCOPED_TRACE(std::string(panel->metaObject()->className()) + ": " + row.name);
            QImage part = whole.copy();
            QPainter clear(&part);
            clear.setCompositionMode(QPainter::CompositionMode_Source);
            clear.fillRect(row.part, Qt::transparent);
            clear.end();
            panel->render(&part, row.part.topLeft(), QRegion(row.part), QWidget::RenderFlags());
            EXPECT_EQ(part, whole);
        }
    }
}
