#include "AppDelegate.h"

#include "DumpModes.h"
#include "InspectEjectFlow.h"

#include "Diagnostics/Diagnostics.h"
#include "Drives/DriveMonitor.h"
#include "Eject/Ejector.h"
#include "Notifications/Notifier.h"
#include "Platform/Linux/LinuxPlatform.h"
#include "Settings/Preferences.h"
#include "Support/Console.h"
#include "Support/LaunchEnvironment.h"
#include "Volumes/VolumeStore.h"

#include <QCoreApplication>
#include <QSettings>
#include <QTimer>

namespace mallowby {

AppDelegate& AppDelegate::shared()
{
    static AppDelegate* const delegate = new AppDelegate(QCoreApplication::instance());
    return *delegate;
}

AppDelegate::AppDelegate(QObject* parent)
    : QObject(parent),
      m_volumes(new VolumeStore(SpaceReader{std::chrono::seconds(2)}, LinuxPlatform::volumeStore(), Clock::system(), this)),
      m_ejector(new Ejector(LinuxPlatform::ejector(), Clock::system(), this)),
      m_defaults(new QSettings(Preferences::userStorePath(), QSettings::IniFormat, this)),
      m_preferences(new Preferences(*m_defaults, this))
{
}

DriveMonitor& AppDelegate::drives()
{
    if (!m_drives)
        m_drives = new DriveMonitor(*m_volumes, LinuxPlatform::driveMonitor(), Clock::system(), this);
    return *m_drives;
}

Notifier& AppDelegate::notifier()
{
    if (!m_notifier)
        m_notifier = new Notifier(*m_volumes, drives(), *m_preferences, LinuxPlatform::notificationServer(),
                                  Clock::system(), LaunchEnvironment::shared(), this);
    return *m_notifier;
}

void AppDelegate::applicationDidFinishLaunching()
{
    m_volumes->start();
    drives().start();

    if (LaunchEnvironment::shared().isDumpMode()) {
        DumpModes::dispatch(*m_volumes, drives());
        return;
    }

    notifier().start();
    m_launchModesTimer = Clock::system().schedule(std::chrono::milliseconds(500), std::nullopt, [this] { applyLaunchModes(); });
}

void AppDelegate::applyLaunchModes()
{
    const LaunchEnvironment& environment = LaunchEnvironment::shared();
    if (environment.contains(QStringLiteral("MALLOWBY_DIAGNOSTICS"))) {
        m_diagnosticsTimer = Clock::system().schedule(std::chrono::seconds(2), std::nullopt, [this] {
            Console::printLine(diagnosticsText());
            Console::flush();
            QCoreApplication::quit();
        });
    }
    const auto inspect = environment.value(QStringLiteral("MALLOWBY_INSPECT"));
    const auto eject = environment.value(QStringLiteral("MALLOWBY_EJECT"));
    if (const auto path = inspect ? inspect : eject) {
        // With both keys present the path comes from MALLOWBY_INSPECT and the action is eject.
        const auto action = eject ? InspectEjectFlow::Action::eject : InspectEjectFlow::Action::inspect;
        InspectEjectFlow::run(*m_volumes, drives(), *m_ejector, *path, action, [](const QString&) {}, Clock::system());
    }
}

QString AppDelegate::diagnosticsText()
{
    return Diagnostics::report(Diagnostics::Environment::current(m_preferences->settingsSummary()), m_volumes->volumes(),
                               drives().drives(), m_ejector->log(), m_ejector->lastScan(), QDateTime::currentDateTime());
}

} // namespace mallowby
