#pragma once

#include "Drives/DriveMonitor.h"
#include "Eject/DiskArbitrationClient.h"
#include "Volumes/VolumeStore.h"

namespace mallowby {

// The real Linux adapters, wired for the services that read them.
class LinuxPlatform {
public:
    static VolumeStore::Platform volumeStore();
    static DriveMonitor::Platform driveMonitor();
    static DiskArbitrationClient::Platform diskArbitration();
};

} // namespace mallowby
