#include "Eject/BlockerScanner.h"

#include "Platform/DeviceUsers.h"
#include "Platform/ProcessTable.h"
#include "Platform/RunningApplications.h"
#include "Support/OneShot.h"

#include <QCoreApplication>
#include <QFileInfo>
#include <QLocale>
#include <QSet>
#include <QThreadPool>
#include <QTimer>

#include <algorithm>
#include <atomic>
#include <mutex>
#include <system_error>
#include <thread>
#include <vector>

namespace mallowby {

namespace {

bool withinAny(const QString& path, const QStringList& roots)
{
    return std::any_of(roots.cbegin(), roots.cend(), [&](const QString& root) { return BlockerScanner::isWithin(path, root); });
}

std::optional<OwningApp> appFrom(const RunningApplication& record, const ProcessTable& processes)
{
    std::optional<QString> name = record.name;
    if (!name && record.bundlePath)
        name = QFileInfo(*record.bundlePath).completeBaseName();
    if (!name)
        return std::nullopt;
    return OwningApp{record.pid, *name, record.bundleIdentifier, record.bundlePath, processes.startTime(record.pid)};
}

// By app (or process) name, then pid.
void sortBlockers(QList<Blocker>& blockers)
{
    const QLocale locale;
    const auto key = [&](const Blocker& b) { return locale.toLower(b.app ? b.app->name : b.processName); };
    std::stable_sort(blockers.begin(), blockers.end(), [&](const Blocker& a, const Blocker& b) {
        const QString ka = key(a), kb = key(b);
        return ka != kb ? ka < kb : a.pid < b.pid;
    });
}

// Time the work item gets past the deadline to finish by itself.
constexpr std::chrono::milliseconds deadlineGrace{150};

// Fewer processes than this are read by one thread alone.
constexpr qsizetype parallelFrom = 64;

// Reads items 0..count-1 with `read` on this thread and one more (reading procfs is system calls,
// two of which run at once), and hands each result to `use` in item order as soon as it and all
// before it are read; `use` runs on either thread, never on both at once. No item is taken once
// `late()`. Returns whether every item was read.
template<typename Read, typename Use, typename Late>
bool readInOrder(qsizetype count, const Read& read, const Use& use, const Late& late)
{
    using Result = std::invoke_result_t<Read, qsizetype>;
    std::vector<std::optional<Result>> results(static_cast<size_t>(count));
    std::atomic<qsizetype> next{0};
    std::mutex lock;
    qsizetype used = 0;  // under `lock`
    const auto work = [&] {
        while (!late()) {
            const qsizetype i = next.fetch_add(1);
            if (i >= count)
                return;
            Result result = read(i);
            std::lock_guard guard(lock);
            results[size_t(i)] = std::move(result);
            for (; used < count && results[size_t(used)]; ++used)
                use(used, std::move(*results[size_t(used)]));
        }
    };
    std::thread helper;
    if (count >= parallelFrom) {
        try {
            helper = std::thread(work);
        } catch (const std::system_error&) {
            // No thread to spare: this one reads them all.
        }
    }
    work();
    if (helper.joinable())
        helper.join();
    return used == count;
}

} // namespace

// What a running scan has found so far.
struct BlockerScanner::Progress {
    std::mutex lock;
    BlockerReport report;

    void set(const BlockerReport& now)
    {
        std::lock_guard guard(lock);
        report = now;
    }
    BlockerReport get()
    {
        std::lock_guard guard(lock);
        return report;
    }
};

BlockerScanner::BlockerScanner(std::shared_ptr<const ProcessTable> processes,
                               std::shared_ptr<const RunningApplications> apps, ImageListing images,
                               std::shared_ptr<const DeviceUsers> devices, std::chrono::milliseconds deadline)
    : m_processes(std::move(processes)), m_apps(std::move(apps)), m_images(std::move(images)), m_devices(std::move(devices)),
      m_deadline(deadline)
{
}

QThreadPool& BlockerScanner::pool()
{
    // Its own pool: a scan must not wait behind capacity reads stuck on a dead mount.
    static QThreadPool* const pool = [] {
        auto* p = new QThreadPool;
        p->setObjectName(QStringLiteral("as.quillon.mallowby.scan"));
        p->setMaxThreadCount(2);
        return p;
    }();
    return *pool;
}

bool BlockerScanner::isWithin(const QString& path, const QString& root)
{
    if (root == QLatin1String("/"))
        return path.startsWith(QLatin1Char('/'));
    return path == root || (path.startsWith(root) && path.size() > root.size() && path[root.size()] == QLatin1Char('/'));
}

QCoro::Task<BlockerReport> BlockerScanner::scan(ScanTarget target) const
{
    auto result = OneShot<BlockerReport>::make();
    auto progress = std::make_shared<Progress>();
    // The work item keeps what it reads alive even if the scanner goes away meanwhile.
    auto scanner = std::make_shared<BlockerScanner>(*this);
    const auto started = std::chrono::steady_clock::now();
    pool().start([scanner, target = std::move(target), result, progress] {
        result->complete(scanner->run(target, progress.get()));
    });
    // A work item stuck on a process that does not answer: what it found by the deadline.
    if (auto* app = QCoreApplication::instance())
        QTimer::singleShot(m_deadline + deadlineGrace, app, [result, progress, started] {
            BlockerReport partial = progress->get();
            partial.incomplete = true;
            sortBlockers(partial.blockers);
            partial.duration = std::chrono::steady_clock::now() - started;
            result->complete(std::move(partial));
        });
    co_return co_await *result;
}

BlockerReport BlockerScanner::scanBlocking(const ScanTarget& target) const
{
    return run(target, nullptr);
}

BlockerReport BlockerScanner::run(const ScanTarget& target, Progress* progress) const
{
    const auto started = std::chrono::steady_clock::now();
    const auto deadline = started + m_deadline;
    const auto late = [&] { return std::chrono::steady_clock::now() > deadline; };
    BlockerReport report;

    const QList<ProcessTable::Listed> processes = m_processes->processes();
    report.processCount = processes.size();

    ProcessTable::Mounts mounts{target.devices, {}};
    QHash<QString, QList<qint32>> namespaceMembers;
    const QList<ProcessTable::MountEntry> ownMounts = m_processes->mounts(0);
    QList<SystemHolder> holders = mountHolders(target, processes, ownMounts, mounts, namespaceMembers);

    if (m_images) {
        for (const ImageBlocker& image : m_images())
            if (withinAny(image.imagePath, target.mountPaths))
                report.images.append(image);
    }
    QStringList imagePaths;
    for (const ImageBlocker& image : std::as_const(report.images))
        imagePaths.append(image.imagePath);

    if (progress)
        progress->set(report);

    // Other users' processes are never offered to be stopped: they are counted and named.
    QSet<qint32> holding;
    SystemHolder others{.kind = SystemHolder::Kind::otherUsers};
    SystemHolder unread{.kind = SystemHolder::Kind::otherUsersUnread};
    const auto found = [&](const ProcessTable::Listed& process, Blocker blocker) {
        holding.insert(process.pid);
        if (process.ownUser) {
            report.blockers.append(std::move(blocker));
            if (progress)
                progress->set(report);
        } else {
            others.count += 1;
            others.users.append(QStringLiteral("%1 (%2)").arg(blocker.processName).arg(process.pid));
        }
    };
    const auto read = [&](qsizetype i) { return m_processes->holdings(processes[i].pid, mounts); };
    const auto use = [&](qsizetype i, ProcessTable::Holdings holdings) {
        const ProcessTable::Listed& process = processes[i];
        if (!holdings.readable && !process.ownUser) {
            unread.count += 1;
            if (const QString name = nameOf(process.pid); !unread.users.contains(name))
                unread.users.append(name);
            return;
        }
        auto blocker = inspect(process.pid, holdings, target, mounts);
        if (!blocker)
            return;
        // An image file in use is shown as the image, not as a process.
        blocker->uses.removeIf([&](const Blocker::Use& use) { return withinAny(use.path, imagePaths); });
        if (!blocker->uses.isEmpty())
            found(process, std::move(*blocker));
    };
    report.incomplete = !readInOrder(processes.size(), read, use, late);

    if (holding.isEmpty() && report.images.isEmpty() && !report.incomplete) {
        report.scannedMappedFiles = true;
        const auto readMaps = [&](qsizetype i) {
            // The start time first: a pid reused meanwhile then has another.
            const auto startTime = m_processes->startTime(processes[i].pid);
            return std::make_pair(startTime, m_processes->mappedFiles(processes[i].pid, target.devices, mappedRegionLimit));
        };
        const auto useMaps = [&](qsizetype i, std::pair<std::optional<quint64>, QList<ProcessTable::FileRef>> read) {
            if (auto blocker = inspectMappedFiles(processes[i].pid, read.first, read.second, target))
                found(processes[i], std::move(*blocker));
        };
        report.incomplete = !readInOrder(processes.size(), readMaps, useMaps, late);
    }

    // A copy that goes with the unmount holds the drive only while something in it is busy.
    holders.removeIf([&](const SystemHolder& holder) {
        if (holder.kind != SystemHolder::Kind::mountNamespace || holder.keepsAlive)
            return false;
        const QList<qint32> members = namespaceMembers.value(holder.subject);
        return std::none_of(members.cbegin(), members.cend(), [&](qint32 pid) { return holding.contains(pid); });
    });
    holders.append(deviceHolders(target, ownMounts));
    if (others.count > 0)
        holders.append(others);
    // Unreadable processes are only a guess: named when nothing certain was found.
    if (unread.count > 0 && report.blockers.isEmpty() && report.images.isEmpty() && holders.isEmpty())
        holders.append(unread);
    report.holders = holders;

    sortBlockers(report.blockers);

    report.duration = std::chrono::steady_clock::now() - started;
    return report;
}

QList<SystemHolder> BlockerScanner::mountHolders(const ScanTarget& target, const QList<ProcessTable::Listed>& processes,
                                                 const QList<ProcessTable::MountEntry>& own, ProcessTable::Mounts& mounts,
                                                 QHash<QString, QList<qint32>>& namespaceMembers) const
{
    QList<SystemHolder> holders;
    for (const auto& entry : own)
        if (target.devices.contains(entry.device))
            mounts.ids.insert(entry.id);

    // This namespace: file systems stacked inside the target, the target's folders mounted elsewhere.
    QStringList roots = target.mountPaths;
    roots.removeAll(QStringLiteral("/"));
    for (const auto& entry : own) {
        if (target.mountPaths.contains(entry.mountPoint))
            continue;
        if (target.devices.contains(entry.device))
            holders.append({.kind = SystemHolder::Kind::bindMount, .subject = entry.mountPoint, .users = {entry.root}});
        else if (withinAny(entry.mountPoint, roots))
            holders.append({.kind = SystemHolder::Kind::submount, .subject = entry.mountPoint, .users = {entry.source}});
    }

    // Other namespaces, each read once through its first process.
    const auto ownNamespace = m_processes->mountNamespace(0);
    if (!ownNamespace)
        return holders;
    QHash<QString, QList<qint32>> members;
    QStringList order;
    const auto read = [&](qsizetype i) { return m_processes->mountNamespace(processes[i].pid); };
    const auto use = [&](qsizetype i, const std::optional<QString>& name) {
        if (!name || *name == *ownNamespace)
            return;
        if (!members.contains(*name))
            order.append(*name);
        members[*name].append(processes[i].pid);
    };
    readInOrder(processes.size(), read, use, [] { return false; });
    for (const QString& name : std::as_const(order)) {
        const QList<qint32> pids = members.value(name);
        bool mounted = false, propagates = true;
        for (const auto& entry : m_processes->mounts(pids.first())) {
            if (!target.devices.contains(entry.device))
                continue;
            mounted = true;
            propagates = propagates && entry.propagates;
            mounts.ids.insert(entry.id);
        }
        if (!mounted)
            continue;
        namespaceMembers.insert(name, pids);
        SystemHolder holder{.kind = SystemHolder::Kind::mountNamespace, .subject = name, .keepsAlive = !propagates};
        if (const auto unit = m_processes->unit(pids.first());
            unit && (unit->endsWith(QLatin1String(".service")) || unit->startsWith(QLatin1String("app-"))))
            holder.users.append(*unit);
        for (qint32 pid : pids.mid(0, 5))
            holder.users.append(QStringLiteral("%1 (%2)").arg(nameOf(pid)).arg(pid));
        if (pids.size() > 5)
            holder.users.append(QStringLiteral("%1 more").arg(pids.size() - 5));
        holders.append(holder);
    }
    return holders;
}

QList<SystemHolder> BlockerScanner::deviceHolders(const ScanTarget& target, const QList<ProcessTable::MountEntry>& ownMounts) const
{
    QList<SystemHolder> holders;
    if (!m_devices)
        return holders;
    const QStringList disks = m_devices->disksBelow(target.sources);
    for (const DeviceUsers::Swap& swap : m_devices->swaps()) {
        const bool there = swap.isPartition ? swap.path.startsWith(QLatin1String("/dev/")) && m_devices->isOn(swap.path.mid(5), disks)
                                            : withinAny(swap.path, target.mountPaths);
        if (there)
            holders.append({.kind = SystemHolder::Kind::swap, .subject = swap.path});
    }
    for (const DeviceUsers::Stacked& device : m_devices->stackedOn(disks)) {
        QStringList users = device.holders;
        for (const auto& entry : ownMounts)
            if (entry.device == device.device && device.device != 0)
                users.append(entry.mountPoint);
        holders.append({.kind = SystemHolder::Kind::stackedDevice, .subject = device.label, .users = users});
    }
    for (const QString& path : m_devices->exports())
        if (withinAny(path, target.mountPaths))
            holders.append({.kind = SystemHolder::Kind::nfsExport, .subject = path});
    return holders;
}

std::optional<Blocker> BlockerScanner::inspect(qint32 pid, const ProcessTable::Holdings& holdings, const ScanTarget& target,
                                               const ProcessTable::Mounts& mounts) const
{
    QList<Blocker::Use> uses;
    for (const auto& file : holdings.openFiles)
        if (mounts.contains(file))
            uses.append({Blocker::Reason::openFile, file.path});
    if (holdings.workingDirectory && mounts.contains(*holdings.workingDirectory))
        uses.prepend({Blocker::Reason::workingDirectory, holdings.workingDirectory->path});
    if (holdings.rootDirectory && mounts.contains(*holdings.rootDirectory))
        uses.prepend({Blocker::Reason::rootDirectory, holdings.rootDirectory->path});
    const auto& executable = holdings.executablePath;
    if (executable && (holdings.executableThere || withinAny(*executable, target.mountPaths)))
        uses.prepend({Blocker::Reason::mappedFile, *executable});
    if (uses.isEmpty())
        return std::nullopt;
    return describe(pid, executable, std::move(uses), holdings.startTime);
}

std::optional<Blocker> BlockerScanner::inspectMappedFiles(qint32 pid, std::optional<quint64> startTime,
                                                          const QList<ProcessTable::FileRef>& regions,
                                                          const ScanTarget& target) const
{
    QList<Blocker::Use> uses;
    QSet<QString> seen;
    for (const auto& region : regions) {
        if (!target.devices.contains(region.device) || seen.contains(region.path))
            continue;
        seen.insert(region.path);
        uses.append({Blocker::Reason::mappedFile, region.path});
    }
    if (uses.isEmpty())
        return std::nullopt;
    return describe(pid, m_processes->executablePath(pid), std::move(uses), startTime);
}

QString BlockerScanner::nameOf(qint32 pid) const
{
    return m_processes->commandName(pid).value_or(QStringLiteral("pid %1").arg(pid));
}

Blocker BlockerScanner::describe(qint32 pid, std::optional<QString> executablePath, QList<Blocker::Use> uses,
                                 std::optional<quint64> startTime) const
{
    Blocker blocker;
    blocker.pid = pid;
    if (executablePath)
        blocker.processName = QFileInfo(*executablePath).fileName();
    else
        blocker.processName = nameOf(pid);
    blocker.executablePath = std::move(executablePath);
    blocker.app = owningApp(pid);
    blocker.isAppProcess = blocker.app && m_apps && m_apps->forPid(pid).has_value();
    blocker.uses = std::move(uses);
    blocker.startTime = startTime;
    return blocker;
}

std::optional<OwningApp> BlockerScanner::owningApp(qint32 pid) const
{
    if (!m_apps)
        return std::nullopt;
    qint32 current = pid;
    for (int step = 0; step < ancestorLimit; ++step) {
        if (const auto record = m_apps->forPid(current); record && record->isRegular)
            return appFrom(*record, *m_processes);
        const auto parent = m_processes->parent(current);
        if (!parent || *parent < 2 || *parent == current)
            break;
        current = *parent;
    }
    if (const auto own = m_apps->forPid(pid))
        return appFrom(*own, *m_processes);
    return std::nullopt;
}

} // namespace mallowby
