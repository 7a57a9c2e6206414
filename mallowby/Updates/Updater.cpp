#include "Updates/Updater.h"

#include <QCoreApplication>
#include <QDateTime>
#include <QDesktopServices>
#include <QDir>
#include <QJsonDocument>
#include <QJsonObject>
#include <QMessageBox>
#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QNetworkRequest>
#include <QPushButton>
#include <QSettings>
#include <QStandardPaths>
#include <QTimer>

#ifndef MALLOWBY_UPDATE_FEED_URL
#define MALLOWBY_UPDATE_FEED_URL ""
#endif

namespace mallowby {

namespace {

const QString automaticChecksKey = QStringLiteral("automaticallyChecksForUpdates");
const QString automaticDownloadsKey = QStringLiteral("automaticallyDownloadsUpdates");
const QString lastCheckKey = QStringLiteral("lastUpdateCheck");

// Feeds are small; anything bigger is not one.
constexpr qint64 feedLimit = 1 << 20;

} // namespace

Updater::Configuration Updater::defaultConfiguration()
{
    const QString config = QStandardPaths::writableLocation(QStandardPaths::GenericConfigLocation);
    return Configuration{QUrl(QStringLiteral(MALLOWBY_UPDATE_FEED_URL)),
                         config + QStringLiteral("/mallowby/updates.conf"),
                         QCoreApplication::applicationVersion()};
}

Updater::Updater(Configuration configuration, Clock& clock, QObject* parent)
    : QObject(parent),
      m_configuration(std::move(configuration)),
      m_current(QVersionNumber::fromString(m_configuration.currentVersion)),
      m_clock(clock),
      m_settings(std::make_unique<QSettings>(m_configuration.settingsPath, QSettings::IniFormat))
{
    schedule();
}

Updater::~Updater()
{
    if (m_reply)
        m_reply->abort();
}

bool Updater::automaticallyChecksForUpdates() const
{
    return m_settings->value(automaticChecksKey, true).toBool();
}

void Updater::setAutomaticallyChecksForUpdates(bool on)
{
    if (on == automaticallyChecksForUpdates())
        return;
    m_settings->setValue(automaticChecksKey, on);
    m_settings->sync();
    schedule();
    emit automaticallyChecksForUpdatesChanged();
}

bool Updater::automaticallyDownloadsUpdates() const
{
    return m_settings->value(automaticDownloadsKey, false).toBool();
}

void Updater::setAutomaticallyDownloadsUpdates(bool on)
{
    if (on == automaticallyDownloadsUpdates())
        return;
    m_settings->setValue(automaticDownloadsKey, on);
    m_settings->sync();
    emit automaticallyDownloadsUpdatesChanged();
}

std::optional<QDateTime> Updater::lastCheck() const
{
    const QDateTime date = QDateTime::fromString(m_settings->value(lastCheckKey).toString(), Qt::ISODate);
    return date.isValid() ? std::optional(date) : std::nullopt;
}

void Updater::schedule()
{
    m_timer.reset();
    if (!automaticallyChecksForUpdates())
        return;
    // Daily from the last check, which may have been in an earlier run.
    Clock::Duration delay = checkInterval;
    if (const auto last = lastCheck())
        delay = std::chrono::milliseconds(std::max<qint64>(
            0, QDateTime::currentDateTimeUtc().msecsTo(last->addSecs(std::chrono::seconds(checkInterval).count()))));
    else
        delay = Clock::Duration::zero();
    delay = std::clamp<Clock::Duration>(delay, firstCheckDelay, checkInterval);
    m_timer = m_clock.schedule(delay, checkInterval, [this] { checkInBackground(); });
}

void Updater::checkForUpdates()
{
    check(true);
}

void Updater::checkInBackground()
{
    check(false);
}

void Updater::check(bool userInitiated)
{
    m_userWaiting = m_userWaiting || userInitiated;
    if (isChecking())
        return;  // the outcome of the check under way answers this one too
    m_settings->setValue(lastCheckKey, QDateTime::currentDateTimeUtc().toString(Qt::ISODate));
    m_settings->sync();

    if (m_configuration.feed.isEmpty()) {
        // No feed in this build: nothing is ever found, on the next turn like a real answer.
        m_pendingEmptyCheck = true;
        QTimer::singleShot(0, this, [this] {
            m_pendingEmptyCheck = false;
            finish(std::optional<Release>(), m_userWaiting);
        });
        return;
    }

    if (!m_network)
        m_network = new QNetworkAccessManager(this);
    QNetworkRequest request(m_configuration.feed);
    request.setTransferTimeout(transferTimeoutMs);
    request.setHeader(QNetworkRequest::UserAgentHeader,
                      QStringLiteral("mallowby/%1").arg(m_configuration.currentVersion));
    request.setAttribute(QNetworkRequest::RedirectPolicyAttribute, QNetworkRequest::NoLessSafeRedirectPolicy);
    QNetworkReply* reply = m_network->get(request);
    m_reply = reply;
    connect(reply, &QNetworkReply::downloadProgress, reply, [reply](qint64 received, qint64) {
        if (received > feedLimit)
            reply->abort();
    });
    connect(reply, &QNetworkReply::finished, this, [this, reply] {
        reply->deleteLater();
        m_reply = nullptr;
        std::optional<std::optional<Release>> outcome;  // none: the check failed
        if (reply->error() == QNetworkReply::NoError) {
            if (const auto release = parseFeed(reply->readAll())) {
                const QVersionNumber version = QVersionNumber::fromString(release->version);
                outcome = version > m_current ? std::optional(*release) : std::nullopt;
            }
        }
        finish(outcome, m_userWaiting);
    });
}

void Updater::finish(std::optional<std::optional<Release>> outcome, bool userInitiated)
{
    m_userWaiting = false;
    // A failed check leaves what an earlier one found.
    if (outcome)
        setAvailable(*outcome);
    if (userInitiated && m_present)
        m_present(messageFor(outcome));
    emit checkFinished();
}

void Updater::setAvailable(const std::optional<Release>& release)
{
    m_available = release;
    const std::optional<QString> version = release ? std::optional(release->version) : std::nullopt;
    if (version == m_availableVersion)
        return;
    m_availableVersion = version;
    emit availableVersionChanged();
}

Updater::Message Updater::messageFor(const std::optional<std::optional<Release>>& outcome) const
{
    const QString current = m_configuration.currentVersion.isEmpty() ? QStringLiteral("dev") : m_configuration.currentVersion;
    if (!outcome)
        return {Message::Kind::error, QStringLiteral("Update Error!"),
                QStringLiteral("An error occurred in retrieving update information. Please try again later."),
                std::nullopt};
    if (const auto& release = *outcome)
        return {Message::Kind::updateAvailable, QStringLiteral("A new version of mallowby is available!"),
                QStringLiteral("mallowby %1 is now available—you have %2. Would you like to download it now?")
                    .arg(release->version, current),
                release->page};
    return {Message::Kind::upToDate, QStringLiteral("You’re up to date!"),
            QStringLiteral("mallowby %1 is currently the newest version available.").arg(current), std::nullopt};
}

std::optional<Updater::Release> Updater::parseFeed(const QByteArray& data)
{
    QJsonParseError error;
    const QJsonDocument document = QJsonDocument::fromJson(data, &error);
    if (error.error != QJsonParseError::NoError || !document.isObject())
        return std::nullopt;
    const QJsonObject object = document.object();
    QString version = object.value(QStringLiteral("version")).toString();
    if (version.isEmpty()) {
        version = object.value(QStringLiteral("tag_name")).toString();
        if (version.startsWith(QLatin1Char('v')) || version.startsWith(QLatin1Char('V')))
            version.remove(0, 1);
    }
    version = version.trimmed();
    if (QVersionNumber::fromString(version).isNull())
        return std::nullopt;
    QString page = object.value(QStringLiteral("url")).toString();
    if (page.isEmpty())
        page = object.value(QStringLiteral("html_url")).toString();
    const QUrl url(page, QUrl::StrictMode);
    // Only a web page is ever opened from the feed.
    const bool web = url.isValid() && (url.scheme() == QStringLiteral("https") || url.scheme() == QStringLiteral("http"));
    return Release{version, web ? url : QUrl()};
}

void Updater::showMessageBox(const Message& message)
{
    auto* box = new QMessageBox(message.kind == Message::Kind::error ? QMessageBox::Warning : QMessageBox::Information,
                                message.title, message.text);
    box->setAttribute(Qt::WA_DeleteOnClose);
    if (message.page && message.page->isValid()) {
        QPushButton* download = box->addButton(QStringLiteral("Download"), QMessageBox::AcceptRole);
        box->addButton(QStringLiteral("Later"), QMessageBox::RejectRole);
        const QUrl page = *message.page;
        QObject::connect(download, &QPushButton::clicked, [page] { QDesktopServices::openUrl(page); });
    } else {
        box->addButton(QMessageBox::Ok);
    }
    // Not modal: the tray item and its popover stay usable while it is open.
    box->setWindowModality(Qt::NonModal);
    box->show();
    box->raise();
    box->activateWindow();
}

} // namespace mallowby
