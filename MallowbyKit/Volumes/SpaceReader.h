#pragma once

#include "Volumes/Space.h"

#include <QCoro/QCoroTask>
#include <QString>

#include <chrono>
#include <functional>
#include <optional>

class QThreadPool;

namespace mallowby {

// Reads a volume's capacity off the main thread, bounded by a timeout. A path whose read is
// still running (possibly stuck on a dead mount) answers absent at once, so a hung share costs
// at most one blocked thread.
struct SpaceReader {
    using ReadBlocking = std::function<std::optional<Space>(const QString& path)>;

    std::chrono::milliseconds timeout;
    ReadBlocking readBlocking = defaultReadBlocking;

    QCoro::Task<std::optional<Space>> read(QString path) const;

    // statvfs: total = blocks × fragment size, available = availableStrict = blocks free to
    // unprivileged users × fragment size.
    static std::optional<Space> defaultReadBlocking(const QString& path);

    // Paths whose blocking read has not returned yet.
    static bool isInFlight(const QString& path);

    // The pool that runs the blocking reads (threads "as.quillon.mallowby.space"). Never
    // destroyed: a thread stuck in statvfs must not hold up process exit.
    static QThreadPool& pool();
};

} // namespace mallowby
