#pragma once

#include "Eject/Blocker.h"
#include "Eject/ImageBlocker.h"
#include "Eject/SystemHolder.h"

#include <chrono>

namespace mallowby {

// The outcome of one blocker scan.
struct BlockerReport {
    QList<Blocker> blockers;  // sorted by app (or process) name, then pid
    QList<ImageBlocker> images;
    bool scannedMappedFiles = false;
    qint64 processCount = 0;
    std::chrono::nanoseconds duration{0};
    QList<SystemHolder> holders;  // what else keeps the target busy
    bool incomplete = false;  // the scan's time ran out before it had looked at every process

    bool isEmpty() const { return blockers.isEmpty() && images.isEmpty() && holders.isEmpty(); }

    bool operator==(const BlockerReport&) const = default;
};

} // namespace mallowby
