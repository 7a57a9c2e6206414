#pragma once

#include "Support/Clock.h"

#include <QObject>
#include <QString>

#include <memory>

class QSettings;

namespace mallowby {

class DriveMonitor;
class Ejector;
class FlushNotices;
class FlushWatch;
class Notifier;
class Preferences;
class StatusItemController;
class Updater;
class VolumeStore;

// Owns the long-lived objects and runs the launch sequence. Exactly one exists.
class AppDelegate : public QObject {
    Q_OBJECT
public:
    // Created on first request, owned by the application object.
    static AppDelegate& shared();

    VolumeStore& volumes() const { return *m_volumes; }
    Ejector& ejector() const { return *m_ejector; }
    Preferences& preferences() const { return *m_preferences; }
    // Created on first use.
    DriveMonitor& drives();
    Notifier& notifier();

    // Called once, when the event loop runs.
    void applicationDidFinishLaunching();
    // Another launch asked for the running program: opens the popover.
    void activate();

    // Interactive launches only.
    Updater* updater() const { return m_updater; }
    StatusItemController* statusItem() const { return m_statusItem; }
    // What each eject still has to write out; interactive launches only.
    FlushWatch* flushWatch() const { return m_flushWatch; }

private:
    explicit AppDelegate(QObject* parent);

    // Once the program runs from an installed place: asks whether to start it at login.
    void offerLaunchAtLoginIfNeeded();
    // The developer modes of an interactive launch, half a second after it.
    void applyLaunchModes();

    VolumeStore* m_volumes;
    Ejector* m_ejector;
    QSettings* m_defaults;  // the user's settings file
    Preferences* m_preferences;
    DriveMonitor* m_drives = nullptr;
    Notifier* m_notifier = nullptr;
    Updater* m_updater = nullptr;
    StatusItemController* m_statusItem = nullptr;
    FlushWatch* m_flushWatch = nullptr;
    FlushNotices* m_flushNotices = nullptr;
    std::unique_ptr<Clock::Timer> m_launchModesTimer;
    std::unique_ptr<Clock::Timer> m_diagnosticsTimer;
    std::unique_ptr<Clock::Timer> m_offerTimer;
};

} // namespace mallowby
