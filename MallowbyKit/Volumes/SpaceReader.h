#pragma once

#include "Volumes/Space.h"

#include <QCoro/QCoroTask>
#include <QString>

#include <chrono>
#include <functional>
#include <optional>

namespace mallowby {

// Reads a volume's capacity without ever blocking a thread of this process: the statvfs runs in
// a helper process (SpaceHelper), bounded by a timeout. A read that outlives it is abandoned
// with its helper. A path whose read has not ended (possibly stuck on a dead mount) answers
// absent at once, so a hung share costs at most one stuck helper.
struct SpaceReader {
    using ReadBlocking = std::function<std::optional<Space>(const QString& path)>;

    std::chrono::milliseconds timeout;
    // Tests only: a read run in this process, on a thread of a pool of its own, in place of
    // the helper.
    ReadBlocking readBlocking = {};

    QCoro::Task<std::optional<Space>> read(QString path) const;

    // Paths whose read has not ended yet.
    static bool isInFlight(const QString& path);
};

} // namespace mallowby
