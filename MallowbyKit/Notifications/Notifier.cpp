#include "Notifications/Notifier.h"

#include "Drives/Drive.h"
#include "Drives/DriveMonitor.h"
#include "Drives/FinishedTransfer.h"
#include "Settings/Format.h"
#include "Settings/Preferences.h"
#include "Support/Console.h"
#include "Volumes/VolumeStore.h"

#include <charconv>
#include <limits>

namespace mallowby {

Notifier::Notifier(VolumeStore& volumes, DriveMonitor& drives, Preferences& preferences,
                   std::shared_ptr<NotificationServer> server, Clock& clock, const LaunchEnvironment& environment,
                   QObject* parent)
    : QObject(parent),
      m_volumes(volumes),
      m_drives(drives),
      m_preferences(preferences),
      m_server(std::move(server)),
      m_clock(clock),
      m_echo(environment.contains(QStringLiteral("MALLOWBY_LOG_NOTIFICATIONS")))
{
}

Notifier::~Notifier() = default;

void Notifier::start()
{
    if (m_started)
        return;
    m_started = true;

    QPointer<Notifier> self(this);
    m_drives.setOnTransferFinished([self](const Drive& drive, const FinishedTransfer& finished) {
        if (self)
            self->transferFinished(drive, finished);
    });

    connect(&m_volumes, &VolumeStore::volumesChanged, this, &Notifier::checkLowSpace);
    connect(&m_preferences, &Preferences::volumesShownChanged, this, &Notifier::checkLowSpace);
    connect(&m_preferences, &Preferences::lowSpaceThresholdChanged, this, &Notifier::checkLowSpace);
    connect(&m_preferences, &Preferences::notifyLowSpaceChanged, this, &Notifier::checkLowSpace);
    // The units only matter to a check that wrote a notice.
    connect(&m_preferences, &Preferences::unitsChanged, this, [this] {
        if (m_formattedNotice)
            checkLowSpace();
    });
    checkLowSpace();
    refresh(self);
}

QStringList Notifier::watchedIDs(bool nearOnly) const
{
    const LowSpaceThreshold threshold = m_preferences.lowSpaceThreshold();
    const auto near = [&](const Volume& volume) {
        return volume.kind != VolumeKind::network && volume.space
               && double(volume.space->available) - threshold.bytes(volume.space->total)
                      < fastestWrite * std::chrono::duration<double>(lowSpaceRefreshInterval).count();
    };
    QStringList ids;
    for (const Volume& volume : m_volumes.volumes())
        if (m_preferences.volumesShown().contains(volume.kind) && (!nearOnly || near(volume)))
            ids.append(volume.id);
    return ids;
}

void Notifier::updateRefreshTimers()
{
    const auto refresher = [this](bool nearOnly) {
        QPointer<Notifier> self(this);
        return [self, nearOnly] {
            if (!self)
                return;
            for (const QString& id : self->watchedIDs(nearOnly))
                self->m_volumes.refreshSpace(id);
        };
    };
    if (!m_preferences.notifyLowSpace()) {
        m_refreshTimer.reset();
        m_nearTimer.reset();
        return;
    }
    if (!m_refreshTimer)
        m_refreshTimer = m_clock.schedule(lowSpaceRefreshInterval, lowSpaceRefreshInterval, refresher(false));
    if (watchedIDs(true).isEmpty())
        m_nearTimer.reset();
    else if (!m_nearTimer)
        m_nearTimer = m_clock.schedule(nearRefreshInterval, nearRefreshInterval, refresher(true));
}

QCoro::Task<> Notifier::refreshAuthorization()
{
    return refresh(this);
}

QCoro::Task<> Notifier::refresh(QPointer<Notifier> self)
{
    if (!self)
        co_return;
    const std::shared_ptr<NotificationServer> server = self->m_server;
    const Authorization status = co_await server->authorization();
    if (self)
        self->setAuthorization(status);
}

QCoro::Task<> Notifier::requestAuthorization()
{
    return request(this);
}

QCoro::Task<> Notifier::request(QPointer<Notifier> self)
{
    co_await refresh(self);
    if (!self || self->m_authorization != Authorization::notDetermined)
        co_return;
    const std::shared_ptr<NotificationServer> server = self->m_server;
    co_await server->requestAuthorization();
    // Granted, refused or failed: the server's status says which.
    co_await refresh(self);
}

std::optional<QStringList> Notifier::settingsCommand() const
{
    return m_server->settingsCommand();
}

void Notifier::setAuthorization(Authorization status)
{
    if (status == m_authorization)
        return;
    m_authorization = status;
    emit authorizationChanged();
}

void Notifier::checkLowSpace()
{
    QList<Volume> watched;
    for (const Volume& volume : m_volumes.volumes())
        if (m_preferences.volumesShown().contains(volume.kind))
            watched.append(volume);
    const LowSpaceThreshold threshold = m_preferences.lowSpaceThreshold();
    // Always evaluated, so turning the notice on later does not announce volumes already low.
    const QList<Volume> fallen = m_lowSpace.evaluate(watched, threshold);
    m_formattedNotice = false;
    if (m_started)
        updateRefreshTimers();  // which volumes are near may have changed
    if (!m_preferences.notifyLowSpace())
        return;
    for (const Volume& volume : fallen) {
        if (!volume.space)
            continue;
        const ByteUnits units = m_preferences.units();
        m_formattedNotice = true;
        const QString body = Format::bytes(volume.space->available, units) + QStringLiteral(" free of ")
                             + Format::bytes(volume.space->total, units) + QStringLiteral(", below ")
                             + threshold.displayName() + QStringLiteral(".");
        post(QStringLiteral("low-space-") + volume.id, volume.name + QStringLiteral(" is low on space"), body, false);
    }
}

void Notifier::transferFinished(const Drive& drive, const FinishedTransfer& finished)
{
    if (!m_preferences.notifyTransferFinished())
        return;
    const qint64 bytes = qint64(std::min<quint64>(finished.bytes, quint64(std::numeric_limits<qint64>::max())));
    const QString size = Format::bytes(bytes, m_preferences.units());
    const QString time = durationText(finished.duration);
    const double now = std::chrono::duration<double>(std::chrono::system_clock::now().time_since_epoch()).count();
    post(transferIdentifier(drive.id, now), QStringLiteral("Finished writing to ") + drive.name,
         size + QStringLiteral(" in ") + time + QStringLiteral("."), true);
}

void Notifier::post(const QString& identifier, const QString& title, const QString& body, bool withSound)
{
    if (m_echo) {
        Console::printLine(QStringLiteral("notification: %1 | %2 | authorization %3")
                               .arg(title, body, QString::number(int(m_authorization))));
        Console::flush();
    }
    if (m_authorization != Authorization::authorized && m_authorization != Authorization::provisional)
        return;
    m_server->post({identifier, title, body, withSound});
}

void Notifier::withdraw(const QString& identifier)
{
    m_server->withdraw(identifier);
}

QString Notifier::durationText(Clock::Duration duration)
{
    const qint64 nanoseconds = std::max<qint64>(0, duration.count());
    const qint64 total = nanoseconds / 1'000'000'000 + (nanoseconds % 1'000'000'000 >= 500'000'000 ? 1 : 0);
    const qint64 values[] = {total / 3600, total % 3600 / 60, total % 60};
    static const char* const words[] = {"hr", "min", "sec"};
    QStringList parts;
    for (int i = 0; i < 3 && parts.size() < 2; ++i)
        if (values[i] != 0)
            parts.append(QStringLiteral("%1 %2").arg(values[i]).arg(QLatin1String(words[i])));
    return parts.isEmpty() ? QStringLiteral("0 sec") : parts.join(QStringLiteral(", "));
}

QString Notifier::transferIdentifier(const QString& driveID, double secondsSince1970)
{
    char buffer[64];
    const auto result = std::to_chars(buffer, buffer + sizeof buffer, secondsSince1970);
    QString seconds = QString::fromLatin1(buffer, result.ptr - buffer);
    // Whole numbers keep their ".0", as a double's description has it.
    if (!seconds.contains(QLatin1Char('.')) && !seconds.contains(QLatin1Char('e')))
        seconds += QStringLiteral(".0");
    return QStringLiteral("transfer-") + driveID + QLatin1Char('-') + seconds;
}

} // namespace mallowby
