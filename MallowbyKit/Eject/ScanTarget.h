#pragma once

#include <QSet>
#include <QStringList>

namespace mallowby {

// What a blocker scan looks for: the file-system devices of the target's mounts, their paths and
// the block devices they are mounted from.
struct ScanTarget {
    QSet<quint64> devices;  // dev_t of each mount's super block, as the mount table has it
    QStringList mountPaths;
    QStringList sources{};  // kernel names of the block devices mounted ("sdb1", "dm-0")

    bool operator==(const ScanTarget&) const = default;
};

} // namespace mallowby
