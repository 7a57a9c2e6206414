#pragma once

#include "Drives/DriveMonitor.h"
#include "Notifications/Notifier.h"
#include "Settings/Preferences.h"
#include "Support/LaunchEnvironment.h"
#include "Volumes/VolumeStore.h"

#include "support/FakeVolumePlatform.h"
#include "support/ManualClock.h"
#include "support/SysfsTree.h"

#include <QHash>
#include <QSettings>
#include <QTemporaryDir>

#include <condition_variable>
#include <memory>
#include <mutex>
#include <numeric>

namespace mallowby::test {

// Capacity answers by mount path for the store's reader threads; a path without one fails. Reads wait while held.
class Capacities {
    struct State {
        mutable std::mutex lock;
        std::condition_variable released;
        bool held = false;
        QHash<QString, std::optional<Space>> byPath;
        QHash<QString, int> reads;
        int finished = 0;
    };
    std::shared_ptr<State> m_state = std::make_shared<State>();
    template<typename F>
    auto locked(F f) const
    {
        std::lock_guard guard(m_state->lock);
        return f(*m_state);
    }

public:
    void set(const QString& path, std::optional<Space> space) { locked([&](State& s) { s.byPath.insert(path, space); }); }
    void hold(bool on)
    {
        locked([&](State& s) { s.held = on; });
        m_state->released.notify_all();
    }
    // Reads started, in all or of one path; reads that have returned.
    int reads() const { return locked([](State& s) { return std::accumulate(s.reads.cbegin(), s.reads.cend(), 0); }); }
    int reads(const QString& path) const { return locked([&](State& s) { return s.reads.value(path); }); }
    int finished() const { return locked([](State& s) { return s.finished; }); }
    SpaceReader reader() const;
};

// The real store, monitor, preferences and notifier, wired as the app wires them, over a scripted
// mount table and capacities, a writable copy of fixture sysfs trees (which also describe the disks;
// without fixtures the fake descriptions do), a settings file of its own and a manual clock.
class TestWorld {
public:
    static constexpr qint64 GB = 1'000'000'000;

    explicit TestWorld(const QStringList& sysfsFixtures = {});
    ~TestWorld();

    // Local ext4 mounts by (path, source).
    void setMounts(const QList<std::pair<QString, QString>>& mounts);
    // The same, taken in by the store at once.
    void remount(const QList<std::pair<QString, QString>>& mounts);

    VolumeStore& startStore();
    DriveMonitor& startMonitor(std::function<std::unique_ptr<ScreenEvents>()> screenEvents = {});
    Notifier& startNotifier(std::shared_ptr<NotificationServer> server, const QHash<QString, QString>& environment = {});

    // Lets queued rebuilds, capacity reads and their continuations run.
    static void settle();
    // The same, after every read started so far has returned (none may be held).
    void settleReads();
    // Every volume has figures; false after five seconds.
    bool waitForFigures() const;
    const Volume* volumeAt(const QString& path) const;
    // New figures for the volume at `path`, read and in the store when this returns true.
    bool fill(const QString& path, qint64 total, qint64 available);

    SysfsTree tree;
    FakeVolumePlatform fake;
    ManualClock clock;
    Capacities capacities;
    QTemporaryDir config;
    std::unique_ptr<QSettings> settings;
    std::unique_ptr<Preferences> preferences;
    std::unique_ptr<VolumeStore> store;
    std::unique_ptr<DriveMonitor> monitor;
    std::unique_ptr<LaunchEnvironment> environment;
    std::unique_ptr<Notifier> notifier;
    int publications = 0;  // of the store's list

private:
    bool m_describedByTree;
};

} // namespace mallowby::test
