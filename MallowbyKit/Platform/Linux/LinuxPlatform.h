#pragma once

#include "Volumes/VolumeStore.h"

namespace mallowby {

// The real Linux adapters, wired for the services that read them.
class LinuxPlatform {
public:
    static VolumeStore::Platform volumeStore();
};

} // namespace mallowby
