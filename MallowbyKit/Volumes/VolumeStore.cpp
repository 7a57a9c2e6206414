#include "Volumes/VolumeStore.h"

#include "Platform/ChangeSource.h"
#include "Platform/DiskDescriptions.h"
#include "Platform/MountTable.h"

#include <QHash>
#include <QMetaObject>

#include <algorithm>

namespace mallowby {

VolumeStore::VolumeStore(SpaceReader reader, Platform platform, Clock& clock, QObject* parent)
    : QObject(parent), m_reader(std::move(reader)), m_platform(std::move(platform)), m_clock(clock)
{
}

VolumeStore::~VolumeStore() = default;

const Volume* VolumeStore::volume(const QString& id) const
{
    const auto it = std::find_if(m_volumes.cbegin(), m_volumes.cend(), [&](const Volume& v) { return v.id == id; });
    return it == m_volumes.cend() ? nullptr : &*it;
}

void VolumeStore::start()
{
    if (m_started)
        return;
    m_started = true;
    if (m_platform.openChangeSources) {
        m_sources = m_platform.openChangeSources();
        for (const auto& source : m_sources) {
            connect(source.get(), &ChangeSource::changed, this, &VolumeStore::scheduleRebuild);
            source->start();
        }
    }
    rebuild();
}

void VolumeStore::stop()
{
    m_refreshTimer.reset();
    m_sources.clear();
    m_started = false;
}

void VolumeStore::scheduleRebuild()
{
    if (m_rebuildScheduled)
        return;
    m_rebuildScheduled = true;
    QMetaObject::invokeMethod(this, &VolumeStore::rebuild, Qt::QueuedConnection);
}

void VolumeStore::rebuild()
{
    m_rebuildScheduled = false;

    QHash<QString, std::optional<Space>> previous;
    for (const Volume& volume : std::as_const(m_volumes))
        if (!previous.contains(volume.id))
            previous.insert(volume.id, volume.space);

    const QList<Mount> mounts = m_platform.mountTable ? Mount::current(*m_platform.mountTable, false) : QList<Mount>{};
    QList<Volume> next;
    QStringList baseIDs;
    for (const Mount& mount : mounts) {
        const auto bsdName = mount.bsdName();
        const auto description = bsdName ? diskDescription(*bsdName) : std::nullopt;
        next.append(mount.toVolume(description.value_or(DiskDescription{})));
        baseIDs.append(next.last().id);
    }
    const QStringList ids = Mount::uniqueIDs(mounts, baseIDs);
    for (qsizetype i = 0; i < next.size(); ++i) {
        next[i].id = ids[i];
        next[i].space = previous.value(ids[i]);
    }
    std::stable_sort(next.begin(), next.end(), &Volume::precedes);

    if (next != m_volumes)
        publish(std::move(next));

    QStringList unread;
    for (const Volume& volume : std::as_const(m_volumes))
        if (!volume.space)
            unread.append(volume.id);
    for (const QString& id : std::as_const(unread))
        refreshSpace(id);
}

void VolumeStore::publish(QList<Volume> volumes)
{
    m_volumes = std::move(volumes);
    emit volumesChanged();
}

std::optional<DiskDescription> VolumeStore::diskDescription(const QString& bsdName) const
{
    if (!m_platform.descriptions)
        return std::nullopt;
    return m_platform.descriptions->describe(bsdName);
}

void VolumeStore::refreshSpace(const QString& id)
{
    const Volume* volume = this->volume(id);
    if (!volume || m_reading.contains(id))
        return;
    m_reading.insert(id);
    readSpace(this, id, volume->mountPath, 1);
}

void VolumeStore::refreshAll()
{
    QStringList ids;
    for (const Volume& volume : std::as_const(m_volumes))
        ids.append(volume.id);
    for (const QString& id : std::as_const(ids))
        refreshSpace(id);
}

void VolumeStore::setRefreshing(bool on)
{
    if (!on) {
        m_refreshTimer.reset();
        return;
    }
    if (m_refreshTimer)
        return;
    QPointer<VolumeStore> self(this);
    m_refreshTimer = m_clock.schedule(refreshInterval, refreshInterval, [self] {
        if (self)
            self->refreshAll();
    });
}

QCoro::Task<> VolumeStore::readSpace(QPointer<VolumeStore> store, QString id, QString path, int attempt)
{
    if (attempt > 1) {
        // A retry of a volume that never had figures: 1 s after the first failure, 2 s after the second.
        Clock& clock = store->m_clock;
        co_await clock.sleep(std::chrono::seconds(attempt - 1));
        if (!store || store->m_reading.contains(id))
            co_return;
        store->m_reading.insert(id);
    }
    const SpaceReader reader = store->m_reader;
    const auto result = co_await reader.read(path);
    if (store)
        store->applySpace(id, path, result, attempt);
}

void VolumeStore::applySpace(const QString& id, const QString& path, const std::optional<Space>& result, int attempt)
{
    m_reading.remove(id);
    const auto it = std::find_if(m_volumes.begin(), m_volumes.end(),
                                 [&](const Volume& v) { return v.id == id && v.mountPath == path; });
    if (it == m_volumes.end())
        return;

    if (result) {
        // Equal figures change nothing for anyone: the periodic re-reads stay silent.
        if (it->space != result) {
            it->space = result;
            emit volumesChanged();
        }
        return;
    }
    if (it->space) {
        if (!it->space->isStale) {
            it->space->isStale = true;
            emit volumesChanged();
        }
        return;
    }
    if (attempt > 2)
        return;

    readSpace(this, id, path, attempt + 1);
}

} // namespace mallowby
