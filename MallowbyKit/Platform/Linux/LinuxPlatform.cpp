#include "Platform/Linux/LinuxPlatform.h"

#include "Platform/Linux/DesktopApplications.h"
#include "Platform/Linux/LinuxBlockMonitor.h"
#include "Platform/Linux/LinuxBlockRegistry.h"
#include "Platform/Linux/LinuxDiskDescriptions.h"
#include "Platform/Linux/LinuxMeminfo.h"
#include "Platform/Linux/LinuxMountStats.h"
#include "Platform/Linux/LinuxMountMonitor.h"
#include "Platform/Linux/LinuxMountTable.h"
#include "Platform/Linux/LinuxNotificationServer.h"
#include "Platform/Linux/LinuxProcessControl.h"
#include "Platform/Linux/LinuxDeviceUsers.h"
#include "Platform/Linux/ProcfsProcessTable.h"
#include "Platform/Linux/UDisks2Service.h"
#include "Platform/Linux/LinuxScreenEvents.h"

namespace mallowby {

VolumeStore::Platform LinuxPlatform::volumeStore()
{
    return {
        std::make_shared<LinuxMountTable>(),
        std::make_shared<LinuxDiskDescriptions>(),
        [] {
            std::vector<std::unique_ptr<ChangeSource>> sources;
            sources.push_back(std::make_unique<LinuxMountMonitor>());
            sources.push_back(std::make_unique<LinuxBlockMonitor>());
            return sources;
        },
    };
}

DriveMonitor::Platform LinuxPlatform::driveMonitor()
{
    return {
        std::make_shared<LinuxBlockRegistry>(),
        []() -> std::unique_ptr<ScreenEvents> { return std::make_unique<LinuxScreenEvents>(); },
    };
}

DiskArbitrationClient::Platform LinuxPlatform::diskArbitration()
{
    return {std::make_shared<LinuxMountTable>(), std::make_shared<LinuxBlockRegistry>(), std::make_shared<UDisks2Service>()};
}

BlockerScanner LinuxPlatform::blockerScanner(std::shared_ptr<const BlockRegistry> registry)
{
    return BlockerScanner(std::make_shared<ProcfsProcessTable>(), std::make_shared<DesktopApplications>(), [registry] {
        QList<ImageBlocker> images;
        for (const AttachedImage& image : registry->attachedImages())
            images.append(ImageBlocker{image.imagePath, image.bsdName});
        return images;
    }, std::make_shared<LinuxDeviceUsers>());
}

Ejector::Platform LinuxPlatform::ejector()
{
    const auto client = DiskArbitrationClient::shared();
    const BlockerScanner scanner = blockerScanner(client->platform().registry);
    return {client, [scanner](ScanTarget target) { return scanner.scan(std::move(target)); },
            std::make_shared<LinuxProcessControl>()};
}

std::shared_ptr<NotificationServer> LinuxPlatform::notificationServer()
{
    return std::make_shared<LinuxNotificationServer>();
}

FlushWatch::Platform LinuxPlatform::flushWatch()
{
    return {std::make_shared<LinuxBlockRegistry>(), [meminfo = LinuxMeminfo()] { return meminfo.pendingWrites(); },
            [stats = LinuxMountStats()](const QString& mountPath) { return stats.bytesWritten(mountPath); }};
}

} // namespace mallowby
