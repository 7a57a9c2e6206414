#include "Eject/BlockerScanner.h"

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
#include <mutex>

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
                               std::chrono::milliseconds deadline)
    : m_processes(std::move(processes)), m_apps(std::move(apps)), m_images(std::move(images)), m_deadline(deadline)
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

    const QList<qint32> pids = m_processes->userProcesses();
    report.processCount = pids.size();

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

    for (qint32 pid : pids) {
        if ((report.incomplete = late()))
            break;
        auto blocker = inspect(pid, target);
        if (!blocker)
            continue;
        // An image file in use is shown as the image, not as a process.
        blocker->uses.removeIf([&](const Blocker::Use& use) { return withinAny(use.path, imagePaths); });
        if (blocker->uses.isEmpty())
            continue;
        report.blockers.append(std::move(*blocker));
        if (progress)
            progress->set(report);
    }

    if (report.isEmpty() && !report.incomplete) {
        report.scannedMappedFiles = true;
        for (qint32 pid : pids) {
            if ((report.incomplete = late()))
                break;
            if (auto blocker = inspectMappedFiles(pid, target)) {
                report.blockers.append(std::move(*blocker));
                if (progress)
                    progress->set(report);
            }
        }
    }

    sortBlockers(report.blockers);

    report.duration = std::chrono::steady_clock::now() - started;
    return report;
}

std::optional<Blocker> BlockerScanner::inspect(qint32 pid, const ScanTarget& target) const
{
    const auto [executable, files, cwd] = m_processes->holdings(pid, target.devices);
    QList<Blocker::Use> uses;
    for (const auto& file : files)
        if (target.devices.contains(file.device))
            uses.append({Blocker::Reason::openFile, file.path});
    if (cwd && target.devices.contains(cwd->device))
        uses.prepend({Blocker::Reason::workingDirectory, cwd->path});
    if (executable && withinAny(*executable, target.mountPaths))
        uses.prepend({Blocker::Reason::mappedFile, *executable});
    if (uses.isEmpty())
        return std::nullopt;
    return describe(pid, executable, std::move(uses));
}

std::optional<Blocker> BlockerScanner::inspectMappedFiles(qint32 pid, const ScanTarget& target) const
{
    QList<Blocker::Use> uses;
    QSet<QString> seen;
    for (const auto& region : m_processes->mappedFiles(pid, mappedRegionLimit)) {
        if (!target.devices.contains(region.device) || seen.contains(region.path))
            continue;
        seen.insert(region.path);
        uses.append({Blocker::Reason::mappedFile, region.path});
    }
    if (uses.isEmpty())
        return std::nullopt;
    return describe(pid, m_processes->executablePath(pid), std::move(uses));
}

Blocker BlockerScanner::describe(qint32 pid, std::optional<QString> executablePath, QList<Blocker::Use> uses) const
{
    Blocker blocker;
    blocker.pid = pid;
    if (executablePath)
        blocker.processName = QFileInfo(*executablePath).fileName();
    else
        blocker.processName = m_processes->commandName(pid).value_or(QStringLiteral("pid %1").arg(pid));
    blocker.executablePath = std::move(executablePath);
    blocker.app = owningApp(pid);
    blocker.isAppProcess = blocker.app && m_apps && m_apps->forPid(pid).has_value();
    blocker.uses = std::move(uses);
    blocker.startTime = m_processes->startTime(pid);
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
