#pragma once

#include <QObject>

#include <memory>

class QSettings;

namespace mallowby {

class DriveMonitor;
class Ejector;
class Preferences;
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

    // Called once, when the event loop runs.
    void applicationDidFinishLaunching();

private:
    explicit AppDelegate(QObject* parent);

    // The developer modes of an interactive launch, half a second after it.
    void applyLaunchModes();

    VolumeStore* m_volumes;
    Ejector* m_ejector;
    QSettings* m_defaults;  // the user's settings file
    Preferences* m_preferences;
    DriveMonitor* m_drives = nullptr;
};

} // namespace mallowby
