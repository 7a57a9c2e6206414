#pragma once

#include "MenuBar/StatusItemController.h"
#include "Updates/Updater.h"

#include "Drives/DriveMonitor.h"
#include "Eject/Ejector.h"
#include "Notifications/Notifier.h"
#include "Platform/DiskDescriptions.h"
#include "Settings/Preferences.h"
#include "Volumes/VolumeStore.h"

#include "support/ManualClock.h"
#include "support/ScriptedDisks.h"

#include <QHash>
#include <QSettings>
#include <QTemporaryDir>

#include <memory>
#include <mutex>

namespace mallowby::bench {

// Everything below the tray item over a made-up machine: a sysfs tree (fixture trees and USB
// disks generated on the spot), a scripted mount table, capacities and udisks, a manual clock,
// and the real store, monitor, ejector, preferences and controller on top. No root needed.
class PopoverWorld {
public:
    PopoverWorld();
    ~PopoverWorld();

    // A fixture tree of tests/data/sysfs, merged into the machine's tree.
    void addFixture(const QString& name);
    // A USB disk `disk` (with partitions disk1…diskN) on a bus of its own.
    void addUsbDisk(const QString& disk, int index, const QString& model, int partitions);
    // A device the sysfs tree lacks, described as a disk image.
    void addLooseImage(const QString& bsdName);

    void mount(const QString& path, const QString& source, const QString& type = QStringLiteral("ext4"),
               bool isLocal = true);
    void setSpace(const QString& path, const Space& space);
    void setCounters(const QString& disk, IOCounters counters);
    // Ejects of these whole disks are refused.
    void refuse(const QString& disk, Dissent dissent);
    // Unmounting a share never finishes.
    void hangShares();
    // What a blocker scan finds.
    void setReport(const BlockerReport& report) { *m_report = report; }

    QSettings& settings() { return *m_settings; }
    // Builds the services and the controller; the settings take effect here.
    void start(const QHash<QString, QString>& environment = {});
    // Runs queued work (rebuilds, capacity reads) to its end.
    void settle();
    // One sample a second for `seconds` seconds.
    void advance(int seconds);

    test::ManualClock& clock() { return m_clock; }
    VolumeStore& store() { return *m_store; }
    DriveMonitor& drives() { return *m_drives; }
    Ejector& ejector() { return *m_ejector; }
    Preferences& preferences() { return *m_preferences; }
    StatusItemController& controller() { return *m_controller; }
    const Drive* driveOf(const QString& mountPath) const;

private:
    struct Capacities {
        std::mutex lock;
        QHash<QString, Space> byPath;
    };
    class Descriptions;
    class Table;

    QTemporaryDir m_dir;
    QString m_root;
    std::unique_ptr<QSettings> m_settings;
    test::ManualClock m_clock;
    std::shared_ptr<Capacities> m_capacities = std::make_shared<Capacities>();
    std::shared_ptr<test::ScriptedDisks> m_disks;
    std::shared_ptr<BlockerReport> m_report = std::make_shared<BlockerReport>();

    std::shared_ptr<Descriptions> m_descriptions;
    std::shared_ptr<Table> m_table;
    std::unique_ptr<VolumeStore> m_store;
    std::unique_ptr<DriveMonitor> m_drives;
    std::unique_ptr<Ejector> m_ejector;
    std::unique_ptr<Preferences> m_preferences;
    std::unique_ptr<Notifier> m_notifier;
    std::unique_ptr<Updater> m_updater;
    std::unique_ptr<StatusItemController> m_controller;
};

} // namespace mallowby::bench
