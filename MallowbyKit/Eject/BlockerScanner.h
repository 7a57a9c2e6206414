#pragma once

#include "Eject/BlockerReport.h"
#include "Eject/ScanTarget.h"
#include "Platform/ProcessTable.h"

#include <QHash>

#include <QCoro/QCoroTask>

#include <chrono>
#include <functional>
#include <memory>

class QThreadPool;

namespace mallowby {

class DeviceUsers;
class ProcessTable;
class RunningApplications;

// Finds what holds a drive: the user's processes with files open there, a working or root
// directory there, an executable or (second, slower pass) a mapped file from there, with the app
// each belongs to; the disk images attached from image files stored there; and what else the
// kernel knows keeps it busy (copies in other mount namespaces, submounts and bind mounts, swap,
// stacked devices, NFS exports, other users' processes). Read-only.
class BlockerScanner {
public:
    using ImageListing = std::function<QList<ImageBlocker>()>;

    static constexpr int mappedRegionLimit = 100000;
    static constexpr int ancestorLimit = 32;
    static constexpr std::chrono::milliseconds defaultDeadline{4000};

    BlockerScanner(std::shared_ptr<const ProcessTable> processes, std::shared_ptr<const RunningApplications> apps,
                   ImageListing images, std::shared_ptr<const DeviceUsers> devices = nullptr,
                   std::chrono::milliseconds deadline = defaultDeadline);

    // Runs the scan as one work item off the main thread and resumes the caller with the report,
    // at the latest when the deadline passes: then with what was found so far, marked incomplete,
    // even while the work item still waits on a process that does not answer.
    QCoro::Task<BlockerReport> scan(ScanTarget target) const;

    // The scan itself; any thread. It stops looking at further processes once the deadline passed.
    BlockerReport scanBlocking(const ScanTarget& target) const;

    // Whether `path` is `root` or lies below it.
    static bool isWithin(const QString& path, const QString& root);

private:
    struct Progress;
    BlockerReport run(const ScanTarget& target, Progress* progress) const;
    std::optional<Blocker> inspect(qint32 pid, const ProcessTable::Holdings& holdings, const ScanTarget& target,
                                   const ProcessTable::Mounts& mounts) const;
    std::optional<Blocker> inspectMappedFiles(qint32 pid, std::optional<quint64> startTime,
                                              const QList<ProcessTable::FileRef>& regions, const ScanTarget& target) const;
    Blocker describe(qint32 pid, std::optional<QString> executablePath, QList<Blocker::Use> uses,
                     std::optional<quint64> startTime) const;
    QString nameOf(qint32 pid) const;
    // Copies in other namespaces, submounts and bind mounts; the ids of every mount of the target.
    QList<SystemHolder> mountHolders(const ScanTarget& target, const QList<ProcessTable::Listed>& processes,
                                     const QList<ProcessTable::MountEntry>& own, ProcessTable::Mounts& mounts,
                                     QHash<QString, QList<qint32>>& namespaceMembers) const;
    QList<SystemHolder> deviceHolders(const ScanTarget& target, const QList<ProcessTable::MountEntry>& ownMounts) const;
    std::optional<OwningApp> owningApp(qint32 pid) const;

    static QThreadPool& pool();

    std::shared_ptr<const ProcessTable> m_processes;
    std::shared_ptr<const RunningApplications> m_apps;
    ImageListing m_images;
    std::shared_ptr<const DeviceUsers> m_devices;
    std::chrono::milliseconds m_deadline;
};

} // namespace mallowby
