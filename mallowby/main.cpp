#include "AccessibilityDriver.h"
#include "AppDelegate.h"
#include "CommandLine.h"
#include "SingleInstance.h"
#include "TerminationSignals.h"

#include "Platform/Linux/SessionBus.h"
#include "Support/LaunchEnvironment.h"

#include <QApplication>
#include <QDir>

#include <csignal>
#include <cstdio>
#include <memory>

#include <unistd.h>

using namespace mallowby;

namespace {

bool hasDisplay()
{
    return qEnvironmentVariableIsSet("QT_QPA_PLATFORM") || !qEnvironmentVariableIsEmpty("DISPLAY")
           || !qEnvironmentVariableIsEmpty("WAYLAND_DISPLAY");
}

// Started from a shell inside a drive, the program (and every child it starts) would keep that
// drive busy: it works from "/". A relative snapshot path still names the file meant.
void leaveWorkingDirectory()
{
    const QString snapshot = qEnvironmentVariable("MALLOWBY_SNAPSHOT");
    if (!snapshot.isEmpty() && QDir::isRelativePath(snapshot))
        qputenv("MALLOWBY_SNAPSHOT", QFile::encodeName(QDir::current().absoluteFilePath(snapshot)));
    if (::chdir("/") != 0)
        std::perror("mallowby: cannot change to /");
}

} // namespace

int main(int argc, char* argv[])
{
    leaveWorkingDirectory();
    QCoreApplication::setApplicationName(QStringLiteral("mallowby"));
    QCoreApplication::setOrganizationName(QStringLiteral("mallowby"));
    QCoreApplication::setApplicationVersion(QStringLiteral(MALLOWBY_VERSION));
    if (const std::optional<int> status = CommandLine::handle(argc, argv))
        return *status;

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

    // Logout, Ctrl+C and a closed terminal end the program as Quit does.
    const TerminationSignals stop({SIGTERM, SIGINT, SIGHUP}, [](int) { QCoreApplication::quit(); });

    // A launch that hands over to a running instance creates nothing of its own.
    SingleInstance instance(SessionBus::user(), LaunchEnvironment::shared());
    QObject::connect(&instance, &SingleInstance::activated, [] { AppDelegate::shared().activate(); });
    instance.launch([] { AppDelegate::shared().applicationDidFinishLaunching(); });
    return app->exec();
}
