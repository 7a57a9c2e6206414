#include "AccessibilityDriver.h"

#include <QCheckBox>
#include <QPushButton>
#include <QSignalSpy>
#include <QTest>
#include <QVBoxLayout>

#include <gtest/gtest.h>

using namespace mallowby;

TEST(AccessibilityDriver, ListsWhatIsShownAndPressesOnlyWhatCanBePressed)
{
    QWidget window;
    auto* layout = new QVBoxLayout(&window);
    auto* eject = new QPushButton(QStringLiteral("eject"), &window);
    eject->setAccessibleName(QStringLiteral("Eject Stick"));
    auto* retry = new QPushButton(QStringLiteral("retry"), &window);
    retry->setEnabled(false);
    auto* hidden = new QPushButton(QStringLiteral("hidden"), &window);
    auto* toggle = new QCheckBox(QStringLiteral("2 more"), &window);
    for (QWidget* widget : {static_cast<QWidget*>(eject), static_cast<QWidget*>(retry), static_cast<QWidget*>(hidden),
                            static_cast<QWidget*>(toggle)})
        layout->addWidget(widget);
    hidden->hide();
    window.show();

    const QStringList names = AccessibilityDriver::answer(QStringLiteral("names")).split('\t');
    EXPECT_EQ(names.value(0), "names");
    EXPECT_TRUE(names.contains("Eject Stick"));
    EXPECT_TRUE(names.contains("retry"));
    EXPECT_FALSE(names.contains("hidden"));

    QSignalSpy clicked(eject, &QPushButton::clicked);
    EXPECT_EQ(AccessibilityDriver::answer(QStringLiteral("press Eject Stick")), "pressed\tEject Stick");
    EXPECT_TRUE(clicked.wait(1000));
    EXPECT_EQ(AccessibilityDriver::answer(QStringLiteral("press retry")), "disabled\tretry");
    EXPECT_EQ(AccessibilityDriver::answer(QStringLiteral("press hidden")), "missing\thidden");
    EXPECT_EQ(AccessibilityDriver::answer(QStringLiteral("press 2 more")), "pressed\t2 more");
    QTest::qWait(150);
    EXPECT_TRUE(toggle->isChecked());
    EXPECT_EQ(AccessibilityDriver::answer(QStringLiteral("frobnicate")), "unknown\tfrobnicate");
}
