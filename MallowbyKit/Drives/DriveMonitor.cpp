#include "Drives/DriveMonitor.h"

#include "Drives/BlockDriver.h"
#include "Platform/BlockRegistry.h"
#include "Platform/ScreenEvents.h"
#include "Volumes/VolumeStore.h"

#include <QFileInfo>
#include <QPointer>

#include <algorithm>
#include <cmath>

namespace mallowby {

namespace {

constexpr auto sampleGuard = std::chrono::milliseconds(250);

int rank(VolumeKind kind)
{
    return int(VolumeKind::Value(kind));
}

QString joinedID(const QList<BlockDevice>& members)
{
    QStringList parts;
    for (const BlockDevice& member : members)
        parts.append(QString::number(member.driverID));
    return parts.join(QLatin1Char('+'));
}

} // namespace

DriveMonitor::DriveMonitor(VolumeStore& volumes, Platform platform, Clock& clock, QObject* parent)
    : QObject(parent), m_volumes(volumes), m_platform(std::move(platform)), m_clock(clock)
{
}

DriveMonitor::~DriveMonitor() = default;

const Drive* DriveMonitor::drive(const QString& id) const
{
    const auto it = std::find_if(m_drives.cbegin(), m_drives.cend(), [&](const Drive& d) { return d.id == id; });
    return it == m_drives.cend() ? nullptr : &*it;
}

void DriveMonitor::start()
{
    if (m_started)
        return;
    m_started = true;
    if (m_platform.openScreenEvents) {
        m_screenEvents = m_platform.openScreenEvents();
        if (m_screenEvents) {
            connect(m_screenEvents.get(), &ScreenEvents::screenEvent, this, &DriveMonitor::screenEvent);
            m_screenEvents->start();
        }
    }
    // Queued, so a burst of list changes costs one rebuild.
    m_volumesConnection = connect(&m_volumes, &VolumeStore::volumesChanged, this, [this] {
        if (m_rebuildScheduled)
            return;
        m_rebuildScheduled = true;
        QMetaObject::invokeMethod(
            this,
            [this] {
                m_rebuildScheduled = false;
                // New figures alone leave the drives as they are.
                if (m_started && withoutFigures(m_volumes.volumes()) != m_builtFrom)
                    rebuild();
            },
            Qt::QueuedConnection);
    });
    rebuild();
}

void DriveMonitor::stop()
{
    m_started = false;
    disconnect(m_volumesConnection);
    setTimer(std::nullopt);
    m_screenEvents.reset();
}

void DriveMonitor::setDetailed(bool detailed)
{
    if (detailed == m_detailed)
        return;
    m_detailed = detailed;
    updateTimer();
    if (detailed)
        sample();
}

void DriveMonitor::screenEvent(bool asleep)
{
    m_displayAsleep = asleep;
    if (!asleep)
        sample();
    updateTimer();
}

std::pair<QList<double>, QList<double>> DriveMonitor::externalTrace(qsizetype count) const
{
    count = std::max<qsizetype>(count, 0);
    std::pair<QList<double>, QList<double>> sums{QList<double>(count, 0.0), QList<double>(count, 0.0)};
    for (const Drive& drive : m_drives) {
        if (drive.kind != VolumeKind::external)
            continue;
        const QList<double> read = drive.readTrace.recent(count);
        const QList<double> write = drive.writeTrace.recent(count);
        for (qsizetype i = 0; i < read.size(); ++i)
            sums.first[i] += read[i];
        for (qsizetype i = 0; i < write.size(); ++i)
            sums.second[i] += write[i];
    }
    return sums;
}

QString DriveMonitor::nameOf(const QList<BlockDevice>& members, const QList<const Volume*>& volumes) const
{
    const bool allImages = std::all_of(volumes.cbegin(), volumes.cend(),
                                       [](const Volume* v) { return v->kind == VolumeKind::diskImage; });
    if (allImages && members.size() == 1 && m_platform.registry) {
        for (const AttachedImage& image : m_platform.registry->attachedImages())
            if (image.bsdName == members.first().bsdName) {
                const QString fileName = QFileInfo(image.imagePath).fileName();
                if (!fileName.isEmpty())
                    return fileName;
            }
    }

    QStringList names;
    for (const BlockDevice& member : members) {
        QString name;
        if (const auto description = m_volumes.diskDescription(member.bsdName); description && description->deviceModel)
            name = description->deviceModel->trimmed();
        if (name.isEmpty() && !volumes.isEmpty() && volumes.first()->deviceModel)
            name = volumes.first()->deviceModel->trimmed();
        if (name.isEmpty())
            name = member.bsdName;
        names.append(name);
    }
    if (names.size() >= 2 && std::all_of(names.cbegin(), names.cend(), [&](const QString& n) { return n == names.first(); }))
        return QStringLiteral("%1 \u00D7 %2").arg(names.size()).arg(names.first());
    return names.join(QStringLiteral(" + "));
}

QList<Volume> DriveMonitor::withoutFigures(QList<Volume> volumes)
{
    for (Volume& volume : volumes)
        volume.space.reset();
    return volumes;
}

void DriveMonitor::rebuild()
{
    m_builtFrom = withoutFigures(m_volumes.volumes());
    // Group the volumes by their exact member lists, in order of first appearance.
    struct Group {
        QList<BlockDevice> members;
        QList<const Volume*> volumes;
    };
    QList<Group> groups;
    for (const Volume& volume : m_volumes.volumes()) {
        if (!volume.bsdName || !m_platform.registry)
            continue;
        const QList<BlockDevice> members = m_platform.registry->members(*volume.bsdName);
        if (members.isEmpty())
            continue;
        const auto it = std::find_if(groups.begin(), groups.end(), [&](const Group& g) { return g.members == members; });
        if (it == groups.end())
            groups.append(Group{members, {&volume}});
        else
            it->volumes.append(&volume);
    }

    std::map<quint64, std::unique_ptr<BlockDriver>> drivers;
    for (const Group& group : std::as_const(groups)) {
        for (const BlockDevice& member : group.members) {
            if (drivers.count(member.driverID))
                continue;
            if (auto it = m_drivers.find(member.driverID); it != m_drivers.end() && it->second->device() == member)
                drivers.emplace(member.driverID, std::move(it->second));
            else if (auto opened = m_platform.registry->open(member))
                drivers.emplace(member.driverID, std::move(opened));
        }
    }

    QList<Drive> next;
    QStringList created;
    for (const Group& group : std::as_const(groups)) {
        VolumeKind kind = group.volumes.first()->kind;
        QStringList volumeIDs;
        for (const Volume* volume : group.volumes) {
            volumeIDs.append(volume->id);
            if (rank(volume->kind) < rank(kind))
                kind = volume->kind;
        }
        const QString id = joinedID(group.members);
        if (const Drive* existing = drive(id)) {
            Drive drive = *existing;
            drive.volumeIDs = volumeIDs;
            drive.kind = kind;
            next.append(std::move(drive));
            continue;
        }
        Drive drive;
        drive.id = id;
        drive.name = nameOf(group.members, group.volumes);
        drive.deviceProtocol = group.volumes.first()->deviceProtocol;
        drive.kind = kind;
        drive.members = group.members;
        drive.volumeIDs = volumeIDs;
        next.append(std::move(drive));
        created.append(id);
    }
    std::stable_sort(next.begin(), next.end(), [](const Drive& a, const Drive& b) { return rank(a.kind) < rank(b.kind); });

    m_drivers = std::move(drivers);
    m_baselines.removeIf([&](const auto& entry) { return !m_drivers.count(entry.key()); });
    m_lastCounters.removeIf([&](const auto& entry) { return !m_drivers.count(entry.key()); });
    for (auto& [driverID, driver] : m_drivers) {
        if (m_baselines.contains(driverID))
            continue;
        if (const auto counters = driver->counters()) {
            m_baselines.insert(driverID, *counters);
            m_lastCounters.insert(driverID, *counters);
        }
    }

    for (Drive& drive : next) {
        if (!created.contains(drive.id))
            continue;
        const bool measurable = std::all_of(drive.members.cbegin(), drive.members.cend(),
                                            [&](const BlockDevice& m) { return m_baselines.contains(m.driverID); });
        drive.readRate = measurable ? std::optional(0.0) : std::nullopt;
        drive.writeRate = drive.readRate;
    }

    if (next != m_drives) {
        m_drives = std::move(next);
        emit drivesChanged();
    }
    updateTimer();
}

void DriveMonitor::sample()
{
    const Clock::TimePoint now = m_clock.now();
    if (m_lastSample && now - *m_lastSample < sampleGuard)
        return;
    const double elapsed = m_lastSample ? std::chrono::duration<double>(now - *m_lastSample).count() : 0.0;
    m_lastSample = now;

    QHash<quint64, IOCounters> current;
    current.reserve(qsizetype(m_drivers.size()));
    for (auto& [driverID, driver] : m_drivers)
        if (const auto counters = driver->counters())
            current.insert(driverID, *counters);

    // A long gap fills the whole trace with one value; pushing more changes nothing.
    const qsizetype steps = std::clamp<qsizetype>(qsizetype(std::floor(elapsed)), 1, Drive::traceCapacity);
    double externalRead = 0, externalWrite = 0;
    QList<std::pair<Drive, FinishedTransfer>> finished;
    QStringList writtenVolumes;
    bool changed = false;

    for (Drive& drive : m_drives) {
        const bool readable = std::all_of(drive.members.cbegin(), drive.members.cend(),
                                          [&](const BlockDevice& m) { return current.contains(m.driverID); });
        if (!readable) {
            changed = changed || drive.readRate || drive.writeRate;
            drive.readRate.reset();
            drive.writeRate.reset();
            continue;
        }
        IOCounters delta, session;
        for (const BlockDevice& member : drive.members) {
            const IOCounters reading = current.value(member.driverID);
            delta = delta + IOCounters::delta(reading, m_lastCounters.value(member.driverID, reading));
            session = session + IOCounters::delta(reading, m_baselines.value(member.driverID, reading));
        }
        const double readRate = elapsed > 0 ? double(delta.bytesRead) / elapsed : 0.0;
        const double writeRate = elapsed > 0 ? double(delta.bytesWritten) / elapsed : 0.0;
        changed = changed || drive.readRate != readRate || drive.writeRate != writeRate || drive.session != session;
        drive.readRate = readRate;
        drive.writeRate = writeRate;
        drive.session = session;

        const WriteSession before = drive.writeSession;
        const auto transfer = drive.writeSession.update(delta.bytesWritten, now, writeRate);
        changed = changed || drive.writeSession != before;
        if (transfer && drive.kind == VolumeKind::external)
            finished.append({drive, *transfer});

        if (elapsed > 0) {
            for (qsizetype i = 0; i < steps; ++i) {
                drive.readTrace.push(readRate);
                drive.writeTrace.push(writeRate);
            }
            changed = true;
        }
        if (drive.kind == VolumeKind::external) {
            externalRead += readRate;
            externalWrite += writeRate;
        }
        if (writeRate > 0)
            writtenVolumes.append(drive.volumeIDs);
    }
    m_lastCounters = std::move(current);

    if (changed)
        emit drivesChanged();
    if (externalRead != m_externalReadRate) {
        m_externalReadRate = externalRead;
        emit externalReadRateChanged();
    }
    if (externalWrite != m_externalWriteRate) {
        m_externalWriteRate = externalWrite;
        emit externalWriteRateChanged();
    }
    // Free space follows the write.
    for (const QString& id : std::as_const(writtenVolumes))
        m_volumes.refreshSpace(id);

    updateTimer();
    if (m_onSample)
        m_onSample();
    if (m_onTransferFinished)
        for (const auto& [drive, transfer] : std::as_const(finished))
            m_onTransferFinished(drive, transfer);
}

void DriveMonitor::updateTimer()
{
    const bool anyExternal = std::any_of(m_drives.cbegin(), m_drives.cend(),
                                         [](const Drive& d) { return d.kind == VolumeKind::external; });
    if (m_displayAsleep) {
        // Screens off: keep watching only a transfer that is under way.
        const bool transferring = m_externalReadRate + m_externalWriteRate > asleepActivityThreshold
                                  || std::any_of(m_drives.cbegin(), m_drives.cend(), [](const Drive& d) {
                                         return d.kind == VolumeKind::external && d.writeSession.isOpen();
                                     });
        setTimer(anyExternal && transferring ? std::optional(5) : std::nullopt);
    } else if (m_detailed) {
        // Someone looks at live figures, whatever kind the drives are.
        setTimer(1);
    } else if (!anyExternal) {
        setTimer(std::nullopt);
    } else {
        setTimer(5);
    }
}

void DriveMonitor::setTimer(std::optional<int> seconds)
{
    if (seconds == m_timerInterval)
        return;
    const bool wasStopped = !m_timerInterval;
    m_timer.reset();
    m_timerInterval = seconds;
    if (!seconds) {
        m_lastSample.reset();  // the next start measures from a fresh reading
        return;
    }
    if (wasStopped && !m_lastSample) {
        // Prime, so the first tick yields a real rate.
        m_lastCounters.clear();
        for (auto& [driverID, driver] : m_drivers)
            if (const auto counters = driver->counters())
                m_lastCounters.insert(driverID, *counters);
        m_lastSample = m_clock.now();
    }
    const auto interval = std::chrono::seconds(*seconds);
    QPointer<DriveMonitor> self(this);
    m_timer = m_clock.schedule(interval, interval, [self] {
        if (self)
            self->sample();
    });
}

} // namespace mallowby
