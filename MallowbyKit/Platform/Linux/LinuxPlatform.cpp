#include "Platform/Linux/LinuxPlatform.h"

#include "Platform/Linux/LinuxBlockMonitor.h"
#include "Platform/Linux/LinuxBlockRegistry.h"
#include "Platform/Linux/LinuxDiskDescriptions.h"
#include "Platform/Linux/LinuxMountMonitor.h"
#include "Platform/Linux/LinuxMountTable.h"
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

} // namespace mallowby
