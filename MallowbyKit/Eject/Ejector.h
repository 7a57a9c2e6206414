#pragma once

#include "Eject/BlockerReport.h"
#include "Eject/EjectFailure.h"
#include "Eject/EjectTarget.h"
#include "Eject/ScanTarget.h"
#include "Platform/ProcessControl.h"
#include "Support/Clock.h"

#include <QCoro/QCoroTask>
#include <QDateTime>
#include <QHash>
#include <QMap>
#include <QObject>
#include <QPointer>
#include <QSet>

#include <functional>
#include <map>
#include <memory>
#include <vector>

namespace mallowby {

class DiskArbitrationClient;

// The one object through which the application ejects anything. Per target it keeps the state
// of the latest attempt, a short log of recent failures and the latest scan summary. When an
// eject fails because files are in use it scans for blockers, watches them, and ejects again by
// itself once they have all exited. Main thread only.
class Ejector : public QObject {
    Q_OBJECT
public:
    enum class Phase { ejecting, scanning, idle };

    struct Status {
        EjectTarget target;
        Phase phase = Phase::ejecting;
        std::optional<EjectFailure> failure{};
        std::optional<BlockerReport> report{};
        QStringList stillMounted{};  // last path component of each visible mount still there
        // After a forced (lazy) unmount: the processes that still hold the file system, which
        // lives on until they let go; 0 while only the device itself is still held.
        std::optional<qsizetype> awaitedHolders{};

        bool operator==(const Status&) const = default;
    };

    struct LogEntry {
        QDateTime date;
        QString targetName;
        VolumeKind kind;
        EjectFailure failure;

        bool operator==(const LogEntry&) const = default;
    };

    struct ScanSummary {
        std::chrono::nanoseconds duration{0};
        qint64 processCount = 0;
        qint64 blockerCount = 0;
        qint64 imageCount = 0;
        bool scannedMappedFiles = false;
        QStringList holders;  // SystemHolder::summary() of each

        bool operator==(const ScanSummary&) const = default;
        static ScanSummary of(const BlockerReport& report);
    };

    struct EjectAllResult {
        QStringList ejected;  // the names of the targets that ejected
        QStringList failed;   // the ids of those that did not

        bool operator==(const EjectAllResult&) const = default;
    };

    // What the ejector works through.
    struct Platform {
        std::shared_ptr<const DiskArbitrationClient> client;
        std::function<QCoro::Task<BlockerReport>(ScanTarget)> scan;
        std::shared_ptr<ProcessControl> processes;
    };

    static constexpr qsizetype logLimit = 20;
    static constexpr auto rescanInterval = std::chrono::seconds(2);
    static constexpr int retryAttempts = 3;

    Ejector(Platform platform, Clock& clock = Clock::system(), QObject* parent = nullptr);
    ~Ejector() override;

    const QMap<QString, Status>& statuses() const { return m_statuses; }
    const Status* status(const QString& id) const;
    const QList<LogEntry>& log() const { return m_log; }
    const std::optional<ScanSummary>& lastScan() const { return m_lastScan; }

    // True when the target ejected. A second call while the target's eject runs returns false
    // and sends nothing.
    QCoro::Task<bool> eject(EjectTarget target, bool force);
    // Whether an eject request of the target is under way.
    bool isEjecting(const QString& id) const { return m_ejecting.contains(id); }
    // One target after another, never in parallel.
    QCoro::Task<EjectAllResult> ejectAll(QList<EjectTarget> targets);
    // A blocker scan without an eject.
    QCoro::Task<> inspect(EjectTarget target);
    QCoro::Task<bool> retry(QString id, bool force);
    QCoro::Task<> rescan(QString id);
    // The live rescan while the blockers view of a target is shown.
    void setLiveRescan(const QString& id, bool enabled);
    // Forgets a settled status; an eject under way is never ended by it.
    void dismiss(const QString& id);
    // Ejects a disk image attached from a file on the target; rescans the target on success.
    QCoro::Task<bool> ejectImage(ImageBlocker image, QString forId);
    // Asks a blocking app to quit (SIGTERM to the app's own process).
    bool quit(const Blocker& blocker);
    // SIGTERM, or SIGKILL with `kill`.
    bool signal(const Blocker& blocker, bool kill);

    // Whether the target has exit watches armed (for the view and tests).
    bool isWatching(const QString& id) const { return m_exitWatches.count(id) > 0; }
    bool hasLiveRescan(const QString& id) const { return m_rescanTimers.count(id) > 0; }
    QSet<qint32> awaitedProcesses(const QString& id) const { return m_waitingFor.value(id); }

signals:
    void statusesChanged();
    void logChanged();
    void lastScanChanged();
    // An eject request of the target returned: the target ejected (the power-off done, the
    // device gone) or it did not. Sent before the status changes.
    void ejectEnded(const QString& id, bool ejected);

private:
    void store(const QString& id, const Status& status);
    void remove(const QString& id);
    void appendLog(const EjectTarget& target, const EjectFailure& failure);
    void setLastScan(const BlockerReport& report);
    QStringList stillMounted(const QList<VolumeStore::Mount>& mounts) const;
    static ScanTarget scanTarget(const QList<VolumeStore::Mount>& mounts);
    // A report and the number of its scan, in the order scans started.
    struct Scan {
        BlockerReport report;
        quint64 number = 0;
    };
    // Scans the mounts and records the summary; none when the ejector went away meanwhile or the
    // report of a scan of the target started later is already in its status.
    QCoro::Task<std::optional<Scan>> scanAndRecord(QString id, QList<VolumeStore::Mount> mounts);
    void storeScanned(const QString& id, const Status& status, quint64 number);

    // Until nothing holds what a forced unmount detached: no blocker left, the members closed.
    static QCoro::Task<> awaitRelease(QPointer<Ejector> self, QString id, ScanTarget detached, EjectTarget target);

    void stopWatching(const QString& id);
    void watchBlockers(const Status& status);
    void processExited(qint32 pid, const QString& id);
    QCoro::Task<> retryAfterExit(QString id);

    Platform m_platform;
    Clock& m_clock;
    QMap<QString, Status> m_statuses;
    QList<LogEntry> m_log;
    std::optional<ScanSummary> m_lastScan;
    std::map<QString, std::vector<std::unique_ptr<ProcessControl::Watch>>> m_exitWatches;
    QHash<QString, QSet<qint32>> m_waitingFor;
    std::map<QString, std::unique_ptr<Clock::Timer>> m_rescanTimers;
    QHash<QString, int> m_rescanning;  // rescans under way per target
    QSet<QString> m_ejecting;          // targets whose eject request runs
    quint64 m_scans = 0;               // scans started, numbering each
    QHash<QString, quint64> m_appliedScan;  // per target, the number of the scan its report is from
};

} // namespace mallowby
