#pragma once

#include "Drives/DriveMonitor.h"
#include "Eject/BlockerScanner.h"
#include "Eject/DiskArbitrationClient.h"
#include "Eject/Ejector.h"
#include "Eject/FlushWatch.h"
#include "Volumes/VolumeStore.h"

namespace mallowby {

class NotificationServer;

// The real Linux adapters, wired for the services that read them.
class LinuxPlatform {
public:
    static VolumeStore::Platform volumeStore();
    static DriveMonitor::Platform driveMonitor();
    static DiskArbitrationClient::Platform diskArbitration();
    // The blocker scanner over procfs, the desktop's applications and the attached loop images.
    static BlockerScanner blockerScanner(std::shared_ptr<const BlockRegistry> registry);
    // The ejector over the shared client, the procfs blocker scanner and pidfd exit watches.
    static Ejector::Platform ejector();
    static std::shared_ptr<NotificationServer> notificationServer();
    // The drives' counters through the block registry, the pending writes from /proc/meminfo,
    // the shares' from /proc/self/mountstats.
    static FlushWatch::Platform flushWatch();
};

} // namespace mallowby
