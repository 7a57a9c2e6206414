#include "AppDelegate.h"

#include "DumpModes.h"

#include "Platform/Linux/LinuxPlatform.h"
#include "Support/LaunchEnvironment.h"
#include "Volumes/VolumeStore.h"

#include <QCoreApplication>

namespace mallowby {

AppDelegate& AppDelegate::shared()
{
    static AppDelegate* const delegate = new AppDelegate(QCoreApplication::instance());
    return *delegate;
}

AppDelegate::AppDelegate(QObject* parent)
    : QObject(parent),
      m_volumes(new VolumeStore(SpaceReader{std::chrono::seconds(2)}, LinuxPlatform::volumeStore(), Clock::system(), this))
{
}

void AppDelegate::applicationDidFinishLaunching()
{
    m_volumes->start();

    if (LaunchEnvironment::shared().isDumpMode()) {
        DumpModes::dispatch(*m_volumes);
        return;
    }
}

} // namespace mallowby
