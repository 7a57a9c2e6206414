#pragma once

#include "Volumes/VolumeStore.h"

#include <QList>

namespace mallowby {

// The system's mount table, hidden entries included and flagged, in table order. Reading it
// never waits on a file system.
class MountTable {
public:
    virtual ~MountTable() = default;
    virtual QList<VolumeStore::Mount> read() const = 0;
};

} // namespace mallowby
