#pragma once

#include <QSet>
#include <QStringList>

namespace mallowby {

// What a blocker scan looks for: the file-system devices of the target's mounts and their paths.
struct ScanTarget {
    QSet<quint64> devices;  // dev_t of each mount
    QStringList mountPaths;

    bool operator==(const ScanTarget&) const = default;
};

} // namespace mallowby
