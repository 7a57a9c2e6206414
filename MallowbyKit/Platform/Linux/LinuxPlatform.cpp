#include "Platform/Linux/LinuxPlatform.h"

#include "Platform/Linux/LinuxBlockMonitor.h"
#include "Platform/Linux/LinuxDiskDescriptions.h"
#include "Platform/Linux/LinuxMountMonitor.h"
#include "Platform/Linux/LinuxMountTable.h"

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

} // namespace mallowby
