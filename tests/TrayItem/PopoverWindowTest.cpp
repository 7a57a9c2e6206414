#include "Popover/PopoverWindow.h"

#include <QSignalSpy>
#include <QTest>

#include <gtest/gtest.h>

using namespace mallowby;

TEST(PopoverWindow, OpensUnderTheItemAboveABottomPanelAndInsideTheScreen)
{
    const QRect available(0, 24, 1920, 1056);  // panel at the top
    const QSize size(340, 300);
    // Centred under an item in the middle of the panel, 4 pixels below it.
    EXPECT_EQ(PopoverWindow::placement(size, QRect(900, 1, 80, 22), available), QPoint(770, 27));
    // Near the right edge it is pushed left.
    EXPECT_EQ(PopoverWindow::placement(size, QRect(1880, 1, 40, 22), available), QPoint(1580, 27));
    // A panel at the bottom: above the item.
    const QRect bottom(0, 0, 1920, 1056);
    EXPECT_EQ(PopoverWindow::placement(size, QRect(1800, 1058, 40, 22), bottom), QPoint(1580, 1058 - 4 - 300));
    // Taller than the room on either side: from the top of the available area.
    EXPECT_EQ(PopoverWindow::placement(QSize(340, 2000), QRect(900, 1, 80, 22), available), QPoint(770, 24));
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
