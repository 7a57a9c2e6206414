#pragma once

#include "Drives/Drive.h"
#include "Drives/FinishedTransfer.h"
#include "Volumes/Volume.h"
#include "Support/Clock.h"

#include <QHash>
#include <QList>
#include <QObject>

#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <utility>

namespace mallowby {

class BlockDriver;
class BlockRegistry;
class ScreenEvents;
class VolumeStore;

// Turns the volume list into physical drives and samples their counters on a main-thread timer:
// live rates, a minute of history, byte counts since first seen, and finished large writes.
// The timer runs every second while detail is wanted, every five seconds while an external drive
// is attached, and not at all when nothing needs watching or the screens are off and nothing is
// being transferred. Main thread only.
class DriveMonitor : public QObject {
    Q_OBJECT
public:
    struct Platform {
        std::shared_ptr<const BlockRegistry> registry;
        // Screen sleep and lock notifications; none where there is no such source.
        std::function<std::unique_ptr<ScreenEvents>()> openScreenEvents;
    };

    // Above this combined external rate the timer keeps running while the screens are off.
    static constexpr double asleepActivityThreshold = 1'000'000;

    DriveMonitor(VolumeStore& volumes, Platform platform, Clock& clock = Clock::system(), QObject* parent = nullptr);
    ~DriveMonitor() override;

    const QList<Drive>& drives() const { return m_drives; }
    const Drive* drive(const QString& id) const;
    // Summed over the drives of kind external, bytes per second.
    double externalReadRate() const { return m_externalReadRate; }
    double externalWriteRate() const { return m_externalWriteRate; }

    // Builds the drives at once and follows the volume list from then on. A second call does nothing.
    void start();
    // Stops the timer and the screen notifications.
    void stop();
    bool isStarted() const { return m_started; }

    // 1-second sampling wanted (a view shows live figures); turning it on samples at once.
    void setDetailed(bool detailed);
    bool isDetailed() const { return m_detailed; }
    bool isDisplayAsleep() const { return m_displayAsleep; }
    // The running timer's interval in whole seconds; none while stopped.
    std::optional<int> timerInterval() const { return m_timerInterval; }

    // The last `count` points of the external drives' traces summed element-wise, oldest first,
    // (read, write); positions no trace reaches are 0.
    std::pair<QList<double>, QList<double>> externalTrace(qsizetype count) const;

    // Called after every completed sample.
    void setOnSample(std::function<void()> callback) { m_onSample = std::move(callback); }
    // Called for each finished large write to an external drive, after the sample's onSample.
    void setOnTransferFinished(std::function<void(const Drive&, const FinishedTransfer&)> callback)
    {
        m_onTransferFinished = std::move(callback);
    }

    // Reads every device and updates rates, traces and sessions. Ignored less than 0.25 s after
    // the previous sample. Run by the timer, by setDetailed(true) and on waking.
    void sample();

signals:
    void drivesChanged();
    void externalReadRateChanged();
    void externalWriteRateChanged();

private:
    void rebuild();
    static QList<Volume> withoutFigures(QList<Volume> volumes);
    void updateTimer();
    void setTimer(std::optional<int> seconds);
    void screenEvent(bool asleep);
    QString nameOf(const QList<BlockDevice>& members, const QList<const Volume*>& volumes) const;

    VolumeStore& m_volumes;
    Platform m_platform;
    Clock& m_clock;

    QList<Drive> m_drives;
    QList<Volume> m_builtFrom;  // the volumes of the last rebuild, without figures
    double m_externalReadRate = 0;
    double m_externalWriteRate = 0;

    std::map<quint64, std::unique_ptr<BlockDriver>> m_drivers;
    QHash<quint64, IOCounters> m_baselines;
    QHash<quint64, IOCounters> m_lastCounters;
    std::optional<Clock::TimePoint> m_lastSample;
    std::unique_ptr<Clock::Timer> m_timer;
    std::optional<int> m_timerInterval;
    bool m_detailed = false;
    bool m_displayAsleep = false;
    bool m_started = false;
    bool m_rebuildScheduled = false;
    std::unique_ptr<ScreenEvents> m_screenEvents;
    QMetaObject::Connection m_volumesConnection;

    std::function<void()> m_onSample;
    std::function<void(const Drive&, const FinishedTransfer&)> m_onTransferFinished;
};

} // namespace mallowby
