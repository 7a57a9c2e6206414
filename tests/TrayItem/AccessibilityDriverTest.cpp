#include "AccessibilityDriver.h"

#include "support/TestEnvironment.h"

#include <QCheckBox>
#include <QPushButton>
#include <QSignalSpy>
#include <QVBoxLayout>

#include <gtest/gtest.h>

using namespace mallowby;
using namespace std::chrono_literals;

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
    EXPECT_TRUE(names.contains("Eject Stick") && names.contains("retry"));
    EXPECT_FALSE(names.contains("hidden"));
    QSignalSpy clicked(eject, &QPushButton::clicked);
    for (const auto& [request, answer] : {std::pair{"press Eject Stick", "pressed\tEject Stick"}, {"press retry", "disabled\tretry"},
                                         {"press hidden", "missing\thidden"}, {"press 2 more", "pressed\t2 more"},
                                         {"frobnicate", "unknown\tfrobnicate"}})
        EXPECT_EQ(AccessibilityDriver::answer(request), answer);
    EXPECT_TRUE(clicked.count() == 1 || clicked.wait(1000));
    EXPECT_TRUE(test::TestEnvironment::waitUntil([&] { return toggle->isChecked(); }, 5s));
}
