#include "Eject/Ejector.h"

#include "Eject/DiskArbitrationClient.h"
#include "Platform/BlockRegistry.h"

#include <QFileInfo>
#include <QTimer>

#include <algorithm>
#include <csignal>

namespace mallowby {

Ejector::ScanSummary Ejector::ScanSummary::of(const BlockerReport& report)
{
    QStringList holders;
    for (const SystemHolder& holder : report.holders)
        holders.append(holder.summary());
    return ScanSummary{report.duration, report.processCount, report.blockers.size(), report.images.size(),
                       report.scannedMappedFiles, holders};
}

Ejector::Ejector(Platform platform, Clock& clock, QObject* parent)
    : QObject(parent), m_platform(std::move(platform)), m_clock(clock)
{
}

Ejector::~Ejector() = default;

const Ejector::Status* Ejector::status(const QString& id) const
{
    const auto it = m_statuses.constFind(id);
    return it == m_statuses.constEnd() ? nullptr : &*it;
}

void Ejector::store(const QString& id, const Status& status)
{
    const auto it = m_statuses.constFind(id);
    if (it != m_statuses.constEnd() && *it == status)
        return;
    m_statuses.insert(id, status);
    emit statusesChanged();
}

void Ejector::remove(const QString& id)
{
    if (m_statuses.remove(id) > 0)
        emit statusesChanged();
}

void Ejector::appendLog(const EjectTarget& target, const EjectFailure& failure)
{
    m_log.append(LogEntry{QDateTime::currentDateTime(), target.name, target.kind, failure});
    while (m_log.size() > logLimit)
        m_log.removeFirst();
    emit logChanged();
}

void Ejector::setLastScan(const BlockerReport& report)
{
    const ScanSummary summary = ScanSummary::of(report);
    if (m_lastScan == summary)
        return;
    m_lastScan = summary;
    emit lastScanChanged();
}

QStringList Ejector::stillMounted(const QList<VolumeStore::Mount>& mounts) const
{
    QStringList names;
    for (const auto& mount : mounts)
        if (!mount.isHidden)
            names.append(mount.path == QLatin1String("/") ? mount.path : QFileInfo(mount.path).fileName());
    return names;
}

ScanTarget Ejector::scanTarget(const QList<VolumeStore::Mount>& mounts)
{
    ScanTarget target;
    for (const auto& mount : mounts) {
        target.devices.insert(mount.device);
        target.mountPaths.append(mount.path);
        if (const auto name = mount.bsdName())
            target.sources.append(*name);
    }
    return target;
}

QCoro::Task<std::optional<Ejector::Scan>> Ejector::scanAndRecord(QString id, QList<VolumeStore::Mount> mounts)
{
    QPointer<Ejector> self(this);
    const auto scan = m_platform.scan;
    const quint64 number = ++m_scans;
    BlockerReport report = co_await scan(scanTarget(mounts));
    if (!self)
        co_return std::nullopt;  // the ejector is gone
    setLastScan(report);
    if (m_appliedScan.value(id) > number)
        co_return std::nullopt;  // a newer scan of the target has been applied
    co_return Scan{report, number};
}

void Ejector::storeScanned(const QString& id, const Status& status, quint64 number)
{
    m_appliedScan.insert(id, number);
    store(id, status);
}

QCoro::Task<bool> Ejector::eject(EjectTarget target, bool force)
{
    const QString id = target.id;
    if (m_ejecting.contains(id))
        co_return false;
    m_ejecting.insert(id);
    stopWatching(id);
    store(id, Status{.target = target, .phase = Phase::ejecting});

    QPointer<Ejector> self(this);
    const auto client = m_platform.client;
    // A forced unmount is lazy: what is still open there keeps being written. The power-off, and
    // the success, wait until nobody holds the file system.
    std::function<QCoro::Task<>()> awaitHolders;
    if (force)
        awaitHolders = [self, id, detached = scanTarget(client->mounts(target)), target] {
            return awaitRelease(self, id, detached, target);
        };
    const auto failure = co_await client->eject(target, force, awaitHolders);
    if (!self)
        co_return !failure;
    m_ejecting.remove(id);
    emit ejectEnded(id, !failure);
    if (!failure) {
        remove(id);
        co_return true;
    }

    appendLog(target, *failure);
    const auto mounts = client->mounts(target);
    Status settled{.target = target, .phase = Phase::idle, .failure = failure, .stillMounted = stillMounted(mounts)};
    if (!failure->isBusy()) {
        store(id, settled);
        co_return false;
    }

    settled.phase = Phase::scanning;
    store(id, settled);
    const auto scan = co_await scanAndRecord(id, mounts);
    if (!scan || !self)
        co_return false;
    if (const Status* current = status(id); current && current->phase == Phase::scanning) {
        Status done = *current;
        done.report = scan->report;
        done.phase = Phase::idle;
        storeScanned(id, done, scan->number);
        watchBlockers(done);
    }
    co_return false;
}

QCoro::Task<> Ejector::awaitRelease(QPointer<Ejector> self, QString id, ScanTarget detached, EjectTarget target)
{
    while (self) {
        const auto scan = self->m_platform.scan;
        const auto client = self->m_platform.client;
        Clock& clock = self->m_clock;
        const BlockerReport report = co_await scan(detached);
        const bool closed = co_await client->isReleased(target);
        if (!self)
            co_return;
        const qsizetype holders = report.blockers.size();
        if (holders == 0 && closed)
            co_return;
        if (const Status* current = self->status(id); current && current->phase == Phase::ejecting) {
            Status waiting = *current;
            waiting.awaitedHolders = holders;
            self->store(id, waiting);
        }
        co_await clock.sleep(std::chrono::seconds(1));
    }
}

QCoro::Task<Ejector::EjectAllResult> Ejector::ejectAll(QList<EjectTarget> targets)
{
    EjectAllResult result;
    QPointer<Ejector> self(this);
    for (const EjectTarget& target : std::as_const(targets)) {
        if (!self)
            break;
        if (co_await eject(target, false))
            result.ejected.append(target.name);
        else
            result.failed.append(target.id);
    }
    co_return result;
}

QCoro::Task<> Ejector::inspect(EjectTarget target)
{
    const QString id = target.id;
    const Status* existing = status(id);
    if (m_ejecting.contains(id) || (existing && existing->phase == Phase::ejecting))
        co_return;
    const auto client = m_platform.client;
    const auto mounts = client->mounts(target);
    Status scanning = existing ? *existing : Status{.target = target, .phase = Phase::scanning};
    scanning.phase = Phase::scanning;
    store(id, scanning);

    const auto scan = co_await scanAndRecord(id, mounts);
    if (!scan)
        co_return;
    if (const Status* current = status(id); current && *current == scanning) {
        Status done = scanning;
        done.report = scan->report;
        done.phase = Phase::idle;
        done.stillMounted = stillMounted(mounts);
        storeScanned(id, done, scan->number);
    }
}

QCoro::Task<bool> Ejector::retry(QString id, bool force)
{
    const Status* current = status(id);
    if (!current)
        co_return false;
    co_return co_await eject(current->target, force);
}

QCoro::Task<> Ejector::rescan(QString id)
{
    const Status* current = status(id);
    if (!current)
        co_return;
    const auto mounts = m_platform.client->mounts(current->target);

    QPointer<Ejector> self(this);
    m_rescanning[id] += 1;
    const auto scan = co_await scanAndRecord(id, mounts);
    if (!self)
        co_return;
    if (--m_rescanning[id] == 0)
        m_rescanning.remove(id);
    if (!scan)
        co_return;
    if (const Status* after = status(id); after && after->phase == Phase::idle) {
        Status updated = *after;
        updated.report = scan->report;
        updated.stillMounted = stillMounted(mounts);
        storeScanned(id, updated, scan->number);
        // Only a refusal for files in use ends when their holders exit.
        if (updated.failure && updated.failure->isBusy())
            watchBlockers(updated);
    }
}

void Ejector::setLiveRescan(const QString& id, bool enabled)
{
    m_rescanTimers.erase(id);
    if (!enabled)
        return;
    QPointer<Ejector> self(this);
    m_rescanTimers[id] = m_clock.schedule(rescanInterval, rescanInterval, [self, id] {
        if (!self)
            return;
        // While an eject, a scan or the last tick's rescan runs the tick does nothing.
        if (self->m_rescanning.contains(id))
            return;
        if (const Status* current = self->status(id); current && current->phase == Phase::idle)
            self->rescan(id);
    });
}

void Ejector::stopWatching(const QString& id)
{
    m_exitWatches.erase(id);
    m_waitingFor.remove(id);
    m_rescanTimers.erase(id);
}

void Ejector::dismiss(const QString& id)
{
    stopWatching(id);
    if (!m_ejecting.contains(id))
        remove(id);
}

void Ejector::watchBlockers(const Status& status)
{
    const QString id = status.target.id;
    m_exitWatches.erase(id);
    const QList<Blocker> blockers = status.report ? status.report->blockers : QList<Blocker>{};

    // Processes awaited before that a rescan no longer lists have let go of the drive, and their
    // watches go with the old ones: they count as exited, or the retry would wait for them forever.
    QSet<qint32> pids = m_waitingFor.value(id);
    QList<qint32> gone;
    for (qint32 pid : std::as_const(pids))
        if (std::none_of(blockers.cbegin(), blockers.cend(), [pid](const Blocker& blocker) { return blocker.pid == pid; }))
            gone.append(pid);
    for (const Blocker& blocker : blockers)
        pids.insert(blocker.pid);
    if (pids.isEmpty())
        return;
    m_waitingFor.insert(id, pids);

    QPointer<Ejector> self(this);
    std::vector<std::unique_ptr<ProcessControl::Watch>> watches;
    for (const Blocker& blocker : blockers) {
        const qint32 pid = blocker.pid;
        auto watch = m_platform.processes->watchExit(pid, blocker.startTime, [self, pid, id] {
            if (self)
                self->processExited(pid, id);
        });
        if (watch)
            watches.push_back(std::move(watch));
    }
    m_exitWatches[id] = std::move(watches);

    // A blocker that ended between the scan and the watch is not awaited forever. Its end is
    // taken in on a later turn, as the watches deliver theirs, so that an automatic retry never
    // starts inside the eject that armed the watch.
    for (const Blocker& blocker : blockers)
        if (m_platform.processes->isGone(blocker.pid, blocker.startTime))
            gone.append(blocker.pid);
    if (!gone.isEmpty())
        QTimer::singleShot(0, this, [self, gone, id] {
            for (qint32 pid : gone)
                if (self)
                    self->processExited(pid, id);
        });
}

void Ejector::processExited(qint32 pid, const QString& id)
{
    const auto it = m_waitingFor.find(id);
    if (it == m_waitingFor.end() || !it->contains(pid))
        return;
    it->remove(pid);
    if (!it->isEmpty())
        return;
    if (const Status* current = status(id); current && current->phase == Phase::idle) {
        m_waitingFor.remove(id);
        retryAfterExit(id);
    }
}

QCoro::Task<> Ejector::retryAfterExit(QString id)
{
    QPointer<Ejector> self(this);
    Clock& clock = m_clock;
    for (int attempt = 1;; ++attempt) {
        if (co_await retry(id, false) || !self)
            co_return;
        // Still refused as busy although nobody holds the drive: try again a little later.
        const Status* current = status(id);
        if (!current || !current->failure || !current->failure->isBusy() || !current->report
            || !current->report->isEmpty() || attempt == retryAttempts)
            co_return;
        co_await clock.sleep(std::chrono::seconds(1));
        if (!self)
            co_return;
        if (const Status* after = status(id); !after || after->phase != Phase::idle)
            co_return;
    }
}

QCoro::Task<bool> Ejector::ejectImage(ImageBlocker image, QString forId)
{
    const auto client = m_platform.client;
    QList<BlockDevice> members = client->platform().registry->members(image.bsdName);
    if (members.isEmpty())
        members = {BlockDevice{0, image.bsdName}};
    const EjectTarget target{image.bsdName, QFileInfo(image.imagePath).fileName(), VolumeKind::diskImage, members, std::nullopt};

    QPointer<Ejector> self(this);
    const auto failure = co_await client->eject(target, false);
    if (failure || !self)
        co_return false;
    if (const Status* owner = status(forId); owner && owner->phase == Phase::idle)
        co_await rescan(forId);
    co_return true;
}

bool Ejector::quit(const Blocker& blocker)
{
    if (!blocker.isAppProcess || !blocker.app)
        return false;
    // The polite stop a session sends its applications at logout.
    return m_platform.processes->signal(blocker.app->pid, blocker.app->startTime, SIGTERM);
}

bool Ejector::signal(const Blocker& blocker, bool kill)
{
    return m_platform.processes->signal(blocker.pid, blocker.startTime, kill ? SIGKILL : SIGTERM);
}

} // namespace mallowby
