#include "Eject/FlushEstimate.h"

#include "Settings/Format.h"

#include <algorithm>
#include <cmath>
#include <limits>

namespace mallowby {

void FlushEstimate::add(const Sample& sample)
{
    if (m_finished)
        return;
    if (sample.pendingBytes) {
        if (!m_started)
            m_startBytes = *sample.pendingBytes;
        m_started = true;
        m_remaining = *sample.pendingBytes;
    }

    // Unreadable counters, or counters that went backwards (a re-attached device), start over.
    if (!sample.bytesWritten || (!m_readings.isEmpty() && *sample.bytesWritten < m_readings.last().bytesWritten)) {
        m_readings.clear();
        if (!sample.bytesWritten)
            return;
    }
    const Reading reading{sample.time, *sample.bytesWritten};
    if (!m_writingSince) {
        // Writing began at some moment of this interval: the rate counts from here, so that it
        // is measured over whole intervals of writing only.
        if (!m_readings.isEmpty() && reading.bytesWritten > m_readings.last().bytesWritten)
            m_writingSince = sample.time;
        m_readings = {reading};
        return;
    }
    m_readings.append(reading);
    // Keep the oldest reading that still spans the window.
    while (m_readings.size() > 2 && sample.time - m_readings[1].time >= rateWindow)
        m_readings.removeFirst();
}

void FlushEstimate::finish()
{
    m_finished = true;
    m_remaining = 0;
}

double FlushEstimate::rate() const
{
    if (m_finished || m_readings.size() < 2)
        return 0;
    const Reading& first = m_readings.first();
    const Reading& last = m_readings.last();
    const double seconds = std::chrono::duration<double>(last.time - first.time).count();
    return seconds > 0 ? double(last.bytesWritten - first.bytesWritten) / seconds : 0;
}

bool FlushEstimate::showsProgress() const
{
    return !m_finished && m_remaining > floorBytes && rate() > 0;
}

std::optional<qint64> FlushEstimate::secondsLeft() const
{
    if (!showsProgress())
        return std::nullopt;
    return qint64(std::ceil(double(m_remaining) / rate()));
}

double FlushEstimate::fractionDone() const
{
    if (m_finished)
        return 1;
    if (m_startBytes == 0)
        return 0;
    // A figure that rose above the start (another program writing) reads as nothing done.
    return std::clamp(1.0 - double(m_remaining) / double(m_startBytes), 0.0, 1.0);
}

QString FlushEstimate::remainingText(ByteUnits units) const
{
    return Format::bytes(qint64(std::min<quint64>(m_remaining, quint64(std::numeric_limits<qint64>::max()))), units);
}

QString FlushEstimate::progressText(ByteUnits units) const
{
    const auto seconds = secondsLeft();
    if (!seconds)
        return {};
    return QStringLiteral("writing %1, %2").arg(remainingText(units), timeText(*seconds));
}

QString FlushEstimate::timeText(qint64 seconds)
{
    if (seconds < 60)
        return QStringLiteral("about %1 s").arg(std::max<qint64>(seconds, 1));
    return QStringLiteral("about %1 min").arg((seconds + 59) / 60);
}

} // namespace mallowby
