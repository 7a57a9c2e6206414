#include <QApplication>

#include "Volumes/SpaceHelper.h"

#include <gtest/gtest.h>

// For tests of widgets (menus, windows, the tray item): a widgets application on the offscreen
// platform unless the caller chose a platform.
int main(int argc, char** argv)
{
    if (!qEnvironmentVariableIsSet("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication app(argc, argv);
    // Test binaries do not sit beside the capacity-read helper.
    mallowby::SpaceHelper::setProgram(QStringLiteral(MALLOWBY_SPACE_HELPER));
    app.setQuitOnLastWindowClosed(false);
    ::testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
