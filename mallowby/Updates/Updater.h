#pragma once

#include "Support/Clock.h"

#include <QNetworkReply>
#include <QObject>
#include <QPointer>
#include <QString>
#include <QUrl>
#include <QVersionNumber>

#include <functional>
#include <memory>
#include <optional>

class QNetworkAccessManager;
class QSettings;

namespace mallowby {

// Learns from a release feed whether a newer version exists. The feed is a JSON object with the
// newest release's "version" and the "url" of its page ("tag_name" and "html_url", as a GitHub
// release reads, are taken too). Checks run once a day while automatic checks are on, and when
// the user asks; a user's check tells the user what it found. The two automatic switches and the
// time of the last check live in the updater's own settings file. Main thread only.
class Updater : public QObject {
    Q_OBJECT
public:
    struct Release {
        QString version;
        QUrl page;
        bool operator==(const Release&) const = default;
    };

    // What a user's check ends with, for the person who asked.
    struct Message {
        enum class Kind { updateAvailable, upToDate, error };
        Kind kind;
        QString title;
        QString text;
        std::optional<QUrl> page;  // "Download" opens it
        bool operator==(const Message&) const = default;
    };

    struct Configuration {
        QUrl feed;              // empty: nothing is ever found
        QString settingsPath;   // the updater's own settings (INI)
        QString currentVersion; // of the running program
    };

    static constexpr auto checkInterval = std::chrono::hours(24);
    // The first scheduled check waits this long after launch at least.
    static constexpr auto firstCheckDelay = std::chrono::seconds(30);
    static constexpr int transferTimeoutMs = 30'000;

    // The build's feed (MALLOWBY_UPDATE_FEED_URL), $XDG_CONFIG_HOME/mallowby/updates.conf and the
    // application's version.
    static Configuration defaultConfiguration();

    // Starts at once: the scheduled checks begin while automatic checks are on.
    explicit Updater(Configuration configuration = defaultConfiguration(), Clock& clock = Clock::system(),
                     QObject* parent = nullptr);
    ~Updater() override;

    // The version of a newer release a check found; none when none is known.
    const std::optional<QString>& availableVersion() const { return m_availableVersion; }
    const std::optional<Release>& availableRelease() const { return m_available; }

    bool automaticallyChecksForUpdates() const;
    void setAutomaticallyChecksForUpdates(bool on);
    bool automaticallyDownloadsUpdates() const;
    void setAutomaticallyDownloadsUpdates(bool on);
    // When the last check started; none before the first.
    std::optional<QDateTime> lastCheck() const;

    // A user-initiated check: its outcome is also shown to the user.
    void checkForUpdates();
    // A check in the background; its outcome only sets or clears the available version.
    void checkInBackground();
    bool isChecking() const { return m_reply != nullptr || m_pendingEmptyCheck; }

    // Where a user's check reports; by default a message box, whose "Download" opens the page.
    void setMessagePresenter(std::function<void(const Message&)> presenter) { m_present = std::move(presenter); }

    // The newest release of a feed; none for a feed that is not understood.
    static std::optional<Release> parseFeed(const QByteArray& data);
    // The presenter the application uses.
    static void showMessageBox(const Message& message);

signals:
    void availableVersionChanged();
    void automaticallyChecksForUpdatesChanged();
    void automaticallyDownloadsUpdatesChanged();
    // A check finished (found, not found or failed).
    void checkFinished();

private:
    void check(bool userInitiated);
    void finish(std::optional<std::optional<Release>> outcome, bool userInitiated);
    void setAvailable(const std::optional<Release>& release);
    void schedule();
    Message messageFor(const std::optional<std::optional<Release>>& outcome) const;

    Configuration m_configuration;
    QVersionNumber m_current;
    Clock& m_clock;
    std::unique_ptr<QSettings> m_settings;
    QNetworkAccessManager* m_network = nullptr;
    QPointer<QNetworkReply> m_reply;
    bool m_pendingEmptyCheck = false;
    bool m_userWaiting = false;
    std::optional<Release> m_available;
    std::optional<QString> m_availableVersion;
    std::unique_ptr<Clock::Timer> m_timer;
    std::function<void(const Message&)> m_present = &Updater::showMessageBox;
};

} // namespace mallowby
