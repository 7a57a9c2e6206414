#include "Eject/FlushWatch.h"

#include "Drives/BlockDriver.h"
#include "Eject/Ejector.h"
#include "Platform/BlockRegistry.h"

#include <QPointer>

namespace mallowby {

FlushWatch::FlushWatch(Ejector& ejector, Platform platform, Clock& clock)
    : QObject(&ejector), m_ejector(ejector), m_platform(std::move(platform)), m_clock(clock)
{
    connect(&m_ejector, &Ejector::statusesChanged, this, &FlushWatch::statusesChanged);
    connect(&m_ejector, &Ejector::ejectEnded, this, &FlushWatch::ejectEnded);
    statusesChanged();
}

FlushWatch::~FlushWatch() = default;

const FlushWatch* FlushWatch::of(const Ejector& ejector)
{
    return ejector.findChild<const FlushWatch*>(QString(), Qt::FindDirectChildrenOnly);
}

const FlushEstimate* FlushWatch::estimate(const QString& targetID) const
{
    const auto it = m_flushes.constFind(targetID);
    return it == m_flushes.constEnd() ? nullptr : &it->estimate;
}

void FlushWatch::ejectEnded(const QString& id, bool ejected)
{
    if (!m_flushes.contains(id))
        return;
    // Only the eject's own answer ends it: the unmount has returned, so nothing is left to write.
    Flush flush = m_flushes.take(id);
    m_devices.erase(id);
    flush.estimate.finish();
    if (m_flushes.isEmpty())
        m_timer.reset();
    emit flushesChanged();
    emit flushEnded(flush, ejected);
}

void FlushWatch::statusesChanged()
{
    const auto& statuses = m_ejector.statuses();
    bool changed = false;
    for (auto status = statuses.constBegin(); status != statuses.constEnd(); ++status) {
        if (status->phase != Ejector::Phase::ejecting || m_flushes.contains(status.key()))
            continue;
        Devices devices;
        for (const BlockDevice& member : status->target.members) {
            auto driver = m_platform.registry ? m_platform.registry->open(member) : nullptr;
            devices.complete = devices.complete && driver;
            if (driver)
                devices.drivers.push_back(std::move(driver));
        }
        devices.sharePath = status->target.networkMountPath;
        devices.complete = devices.complete && (!devices.drivers.empty() || devices.sharePath);
        Flush flush{status.key(), status->target.name, {}};
        flush.estimate.add(read(devices));
        m_devices.emplace(status.key(), std::move(devices));
        m_flushes.insert(status.key(), flush);
        changed = true;
    }
    if (!changed)
        return;
    if (!m_timer) {
        QPointer<FlushWatch> self(this);
        m_timer = m_clock.schedule(sampleInterval, sampleInterval, [self] {
            if (self)
                self->sample();
        });
    }
    emit flushesChanged();
}

void FlushWatch::sample()
{
    for (auto it = m_flushes.begin(); it != m_flushes.end(); ++it)
        it->estimate.add(read(m_devices.at(it.key())));
    emit flushesChanged();
}

FlushEstimate::Sample FlushWatch::read(const Devices& devices) const
{
    FlushEstimate::Sample sample{m_clock.now(), m_platform.pendingWrites ? m_platform.pendingWrites() : std::nullopt,
                                 std::nullopt};
    if (!devices.complete)
        return sample;
    if (devices.sharePath) {
        if (m_platform.shareBytesWritten)
            sample.bytesWritten = m_platform.shareBytesWritten(*devices.sharePath);
        return sample;
    }
    quint64 written = 0;
    for (const auto& driver : devices.drivers) {
        const auto counters = driver->counters();
        if (!counters)
            return sample;
        written += counters->bytesWritten;
    }
    sample.bytesWritten = written;
    return sample;
}

} // namespace mallowby
