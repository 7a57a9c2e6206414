#include "Popover/PopoverWindow.h"

#include <QSignalSpy>
#include <QTest>

#include <gtest/gtest.h>

using namespace mallowby;

TEST(PopoverWindow, OpensUnderTheItemAboveABottomPanelAndInsideTheScreen)
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
}

TEST(PopoverWindow, TransientPanelsCloseOnEscapeAndSayTheyClosed)
{
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
