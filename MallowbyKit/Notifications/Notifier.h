#pragma once

#include "Notifications/LowSpaceWatch.h"
#include "Platform/NotificationServer.h"
#include "Support/Clock.h"
#include "Support/LaunchEnvironment.h"

#include <QCoro/QCoroTask>
#include <QObject>
#include <QPointer>

#include <chrono>
#include <memory>
#include <optional>

namespace mallowby {

class DriveMonitor;
class Preferences;
class VolumeStore;
struct Drive;
struct FinishedTransfer;

// Posts the two notices of the app: a watched volume falling low on space, and a large write to an
// external drive having finished. Keeps the server's authorization observable and can echo every
// notice to standard output (MALLOWBY_LOG_NOTIFICATIONS). Main thread only.
class Notifier : public QObject {
    Q_OBJECT
public:
    using Authorization = NotificationServer::Authorization;

    // While low-space notices are on, the watched volumes' figures are read this often, so a
    // volume filling up is noticed even when nothing else asks for its figures.
    static constexpr auto lowSpaceRefreshInterval = std::chrono::seconds(30);
    // Local volumes near the threshold are read this often, so a fall is announced within seconds.
    static constexpr auto nearRefreshInterval = std::chrono::seconds(2);
    // Near: so little above the threshold that a fast drive (this many bytes per second) could
    // write it full between two of the 30-second reads.
    static constexpr double fastestWrite = 2e9;

    Notifier(VolumeStore& volumes, DriveMonitor& drives, Preferences& preferences,
             std::shared_ptr<NotificationServer> server, Clock& clock = Clock::system(),
             const LaunchEnvironment& environment = LaunchEnvironment::shared(), QObject* parent = nullptr);
    ~Notifier() override;

    Authorization authorization() const { return m_authorization; }
    const LowSpaceWatch& lowSpace() const { return m_lowSpace; }

    // Takes the drive monitor's finished transfers, checks low space now and again on every change
    // of the volumes or the settings it depends on, and reads the authorization. Once only.
    void start();

    QCoro::Task<> refreshAuthorization();
    // Refreshes; asks for permission only while the status is not determined, then refreshes again.
    QCoro::Task<> requestAuthorization();
    // Opens the desktop's notification settings; none where the desktop has no known settings program.
    std::optional<QStringList> settingsCommand() const;

    void checkLowSpace();
    void transferFinished(const Drive& drive, const FinishedTransfer& finished);
    void post(const QString& identifier, const QString& title, const QString& body, bool withSound);
    // Takes down the notice last posted under this identifier.
    void withdraw(const QString& identifier);

    // "2 min, 5 sec": hours, minutes and seconds, the two largest non-zero ones, whole seconds.
    static QString durationText(Clock::Duration duration);
    // "transfer-<drive id>-<seconds since 1970 in shortest round-trip form>".
    static QString transferIdentifier(const QString& driveID, double secondsSince1970);

signals:
    void authorizationChanged();

private:
    void setAuthorization(Authorization status);
    void updateRefreshTimers();
    // The watched volumes (of a shown kind), or only the local ones near the threshold.
    QStringList watchedIDs(bool nearOnly) const;
    static QCoro::Task<> refresh(QPointer<Notifier> self);
    static QCoro::Task<> request(QPointer<Notifier> self);

    VolumeStore& m_volumes;
    DriveMonitor& m_drives;
    Preferences& m_preferences;
    std::shared_ptr<NotificationServer> m_server;
    Clock& m_clock;
    bool m_echo;

    Authorization m_authorization = Authorization::notDetermined;
    LowSpaceWatch m_lowSpace;
    bool m_started = false;
    bool m_formattedNotice = false;  // the last check read the units
    std::unique_ptr<Clock::Timer> m_refreshTimer;
    std::unique_ptr<Clock::Timer> m_nearTimer;
};

} // namespace mallowby
