#include <QGuiApplication>

#include <gtest/gtest.h>

// For tests that draw: a GUI application object on the offscreen platform (unless the caller
// chose a platform), so fonts and painting work without a display.
int main(int argc, char** argv)
{
    if (!qEnvironmentVariableIsSet("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", "offscreen");
    QGuiApplication app(argc, argv);
    ::testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
