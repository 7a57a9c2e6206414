#include "AccessibilityDriver.h"
#include "AppDelegate.h"

#include "Support/LaunchEnvironment.h"

#include <QApplication>
#include <QMetaObject>

#include <cstdio>
#include <memory>

using namespace mallowby;

namespace {

bool hasDisplay()
{
    return qEnvironmentVariableIsSet("QT_QPA_PLATFORM") || !qEnvironmentVariableIsEmpty("DISPLAY")
           || !qEnvironmentVariableIsEmpty("WAYLAND_DISPLAY");
}

} // namespace

int main(int argc, char* argv[])
{
    // The dump modes print and quit; they need no display at all.
    std::unique_ptr<QCoreApplication> app;
    if (LaunchEnvironment::shared().isDumpMode()) {
        app = std::make_unique<QCoreApplication>(argc, argv);
    } else {
        if (!hasDisplay()) {
            std::fprintf(stderr, "mallowby: no display (DISPLAY and WAYLAND_DISPLAY are unset); "
                                 "set QT_QPA_PLATFORM=offscreen to run without one\n");
            return 1;
        }
        auto gui = std::make_unique<QApplication>(argc, argv);
        gui->setQuitOnLastWindowClosed(false);
        app = std::move(gui);
        if (LaunchEnvironment::shared().contains(QStringLiteral("MALLOWBY_ACCESSIBILITY_DRIVER")))
            new AccessibilityDriver(app.get());
    }
    QCoreApplication::setApplicationName(QStringLiteral("mallowby"));
    QCoreApplication::setOrganizationName(QStringLiteral("mallowby"));
    QCoreApplication::setApplicationVersion(QStringLiteral(MALLOWBY_VERSION));

    AppDelegate& delegate = AppDelegate::shared();
    QMetaObject::invokeMethod(&delegate, &AppDelegate::applicationDidFinishLaunching, Qt::QueuedConnection);
    app->exec();
    return 0;
}
