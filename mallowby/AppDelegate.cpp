#include "AppDelegate.h"

#include "DumpModes.h"
#include "InspectEjectFlow.h"
#include "LaunchAtLoginOffer.h"
#include "LoginItem.h"
#include "MenuBar/StatusItemController.h"
#include "Updates/Updater.h"

#include "Drives/DriveMonitor.h"
#include "Eject/Ejector.h"
#include "Eject/FlushWatch.h"
#include "Notifications/FlushNotices.h"
#include "Notifications/Notifier.h"
#include "Platform/Linux/LinuxPlatform.h"
#include "Settings/Preferences.h"
#include "Support/Console.h"
#include "Support/LaunchEnvironment.h"
#include "Volumes/VolumeStore.h"

#include <QCoreApplication>
#include <QDir>
#include <QPointer>
#include <QSettings>

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
    m_flushWatch = new FlushWatch(*m_ejector, LinuxPlatform::flushWatch(), Clock::system());
    m_flushNotices = new FlushNotices(*m_flushWatch, notifier(), *m_preferences, Clock::system(), this);
    m_updater = new Updater(Updater::defaultConfiguration(), Clock::system(), this);
    m_statusItem = new StatusItemController(*m_volumes, drives(), *m_ejector, *m_preferences, notifier(), *m_updater,
                                            Clock::system(), LaunchEnvironment::shared(), this);
    offerLaunchAtLoginIfNeeded();
    m_launchModesTimer = Clock::system().schedule(std::chrono::milliseconds(500), std::nullopt, [this] { applyLaunchModes(); });
}

void AppDelegate::activate()
{
    if (m_statusItem)
        m_statusItem->showPopover(std::nullopt, false);
}

void AppDelegate::offerLaunchAtLoginIfNeeded()
{
    const LoginItem item;
    if (!LaunchAtLoginOffer::shouldOffer(*m_defaults, QCoreApplication::applicationFilePath(), QDir::homePath(), item))
        return;
    m_offerTimer = Clock::system().schedule(std::chrono::seconds(1), std::nullopt, [item] { LaunchAtLoginOffer::show(item); });
}

void AppDelegate::applyLaunchModes()
{
    const LaunchEnvironment& environment = LaunchEnvironment::shared();
    if (const auto popover = environment.value(QStringLiteral("MALLOWBY_POPOVER")))
        m_statusItem->showPopover(std::nullopt, *popover == QStringLiteral("settings"));
    if (environment.contains(QStringLiteral("MALLOWBY_DIAGNOSTICS"))) {
        m_diagnosticsTimer = Clock::system().schedule(std::chrono::seconds(2), std::nullopt, [this] {
            Console::printLine(m_statusItem->diagnosticsText());
            Console::flush();
            QCoreApplication::quit();
        });
    }
    const auto inspect = environment.value(QStringLiteral("MALLOWBY_INSPECT"));
    const auto eject = environment.value(QStringLiteral("MALLOWBY_EJECT"));
    if (const auto path = inspect ? inspect : eject) {
        // With both keys present the path comes from MALLOWBY_INSPECT and the action is eject.
        const auto action = eject ? InspectEjectFlow::Action::eject : InspectEjectFlow::Action::inspect;
        const QPointer<StatusItemController> statusItem = m_statusItem;
        InspectEjectFlow::run(*m_volumes, drives(), *m_ejector, *path, action,
                              [statusItem](const QString& driveID) {
                                  if (statusItem)
                                      statusItem->showPopover(driveID, false);
                              },
                              Clock::system(), m_flushWatch);
    }
}

} // namespace mallowby
