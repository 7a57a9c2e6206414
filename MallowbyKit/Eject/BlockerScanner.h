#pragma once

#include "Eject/BlockerReport.h"
#include "Eject/ScanTarget.h"

#include <QCoro/QCoroTask>

#include <functional>
#include <memory>

class QThreadPool;

namespace mallowby {

class ProcessTable;
class RunningApplications;

// Finds what holds a drive: the user's processes with files open there, a working directory
// there, an executable or (second, slower pass) a mapped file from there, with the app each
// belongs to; and the disk images attached from image files stored there. Read-only.
class BlockerScanner {
public:
    using ImageListing = std::function<QList<ImageBlocker>()>;

    static constexpr int mappedRegionLimit = 100000;
    static constexpr int ancestorLimit = 32;

    BlockerScanner(std::shared_ptr<const ProcessTable> processes, std::shared_ptr<const RunningApplications> apps,
                   ImageListing images);

    // Runs the scan as one work item off the main thread and resumes the caller with the report.
    QCoro::Task<BlockerReport> scan(ScanTarget target) const;

    // The scan itself; any thread.
    BlockerReport scanBlocking(const ScanTarget& target) const;

    // Whether `path` is `root` or lies below it.
    static bool isWithin(const QString& path, const QString& root);

private:
    std::optional<Blocker> inspect(qint32 pid, const ScanTarget& target) const;
    std::optional<Blocker> inspectMappedFiles(qint32 pid, const ScanTarget& target) const;
    Blocker describe(qint32 pid, std::optional<QString> executablePath, QList<Blocker::Use> uses) const;
    std::optional<OwningApp> owningApp(qint32 pid) const;

    static QThreadPool& pool();

    std::shared_ptr<const ProcessTable> m_processes;
    std::shared_ptr<const RunningApplications> m_apps;
    ImageListing m_images;
};

} // namespace mallowby
