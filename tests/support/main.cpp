#include "Volumes/SpaceHelper.h"

#include <QCoreApplication>

#include <gtest/gtest.h>

// Every test binary runs with a Qt application object, so timers, socket notifiers and
// coroutines resume on an event loop the tests spin.
int main(int argc, char** argv)
{
    QCoreApplication app(argc, argv);
    // Test binaries do not sit beside the capacity-read helper.
    mallowby::SpaceHelper::setProgram(QStringLiteral(MALLOWBY_SPACE_HELPER));
    ::testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
