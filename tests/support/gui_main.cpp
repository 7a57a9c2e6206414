#include <QGuiApplication>

#include "Volumes/SpaceHelper.h"

#include <gtest/gtest.h>

// For tests that draw: a GUI application object on the offscreen platform (unless the caller
// chose a platform), so fonts and painting work without a display.
int main(int argc, char** argv)
{
    if (!qEnvironmentVariableIsSet("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", "offscreen");
    QGuiApplication app(argc, argv);
    // Test binaries do not sit beside the capacity-read helper.
    mallowby::SpaceHelper::setProgram(QStringLiteral(MALLOWBY_SPACE_HELPER));
    ::testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
