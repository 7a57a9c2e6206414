#pragma once

#include "MenuBar/StatusItem.h"
#include "MenuBar/StatusItemController.h"
#include "Updates/Updater.h"

#include "Drives/DriveMonitor.h"
#include "Eject/DiskArbitrationClient.h"
#include "Eject/Ejector.h"
#include "Notifications/Notifier.h"
#include "Platform/DiskService.h"
#include "Platform/Linux/LinuxBlockRegistry.h"
#include "Platform/Linux/LinuxDiskDescriptions.h"
#include "Platform/Linux/LinuxProcessControl.h"
#include "Platform/NotificationServer.h"
#include "Settings/Preferences.h"
#include "Volumes/VolumeStore.h"

#include "support/FakeVolumePlatform.h"
#include "support/ManualClock.h"
#include "support/SysfsTree.h"
#include "support/TestEnvironment.h"

#include <QAccessible>
#include <QCoreApplication>
#include <QDBusConnection>
#include <QImage>
#include <QLocale>
#include <QSettings>
#include <QTemporaryDir>
#include <QThread>

#include <gtest/gtest.h>

#include <mutex>

namespace mallowby::test {

using namespace std::chrono_literals;

inline constexpr qint64 GB = 1'000'000'000;

// Depth first, over what assistive technology sees: hidden elements and their children are skipped.
inline QAccessibleInterface* findNamed(QAccessibleInterface* node, const QString& name)
{
    if (!node || node->state().invisible)
        return nullptr;
    if (node->text(QAccessible::Name) == name)
        return node;
    for (int i = 0; i < node->childCount(); ++i)
        if (QAccessibleInterface* found = findNamed(node->child(i), name))
            return found;
    return nullptr;
}

// udisks2 as the test scripts it: refusals per whole disk, everything else succeeds.
class ScriptedDisks final : public DiskService {
public:
    QHash<QString, Dissent> refusals;
    QCoro::Task<std::optional<Dissent>> unmountDisk(QString bsdName, bool) override
    {
        co_return refusals.contains(bsdName) ? std::optional(refusals.value(bsdName)) : std::nullopt;
    }
    QCoro::Task<std::optional<Dissent>> ejectDisk(QString) override { co_return std::nullopt; }
    QCoro::Task<std::optional<Dissent>> unmountShare(VolumeStore::Mount, bool) override { co_return std::nullopt; }
};

// The controller hands the notifier on to the popover and never posts through it.
class SilentServer final : public NotificationServer {
public:
    QCoro::Task<Authorization> authorization() override { co_return Authorization::denied; }
    QCoro::Task<bool> requestAuthorization() override { co_return false; }
    void post(const Notice&) override {}
    std::optional<QStringList> settingsCommand() const override { return std::nullopt; }
};

// Capacity by mount path, set by the test, read on the reader threads.
struct Capacities {
    std::mutex lock;
    QHash<QString, Space> byPath;
};

// The whole stack below the tray item: the real volume store, drive monitor and ejector over
// fixture sysfs trees, a scripted mount table and udisks, and a manual clock.
class TrayRig : public ::testing::Test {
protected:
    void SetUp() override
    {
        QLocale::setDefault(QLocale(QLocale::English, QLocale::UnitedStates));
        tree = std::make_unique<SysfsTree>(QStringList{"usb-disk", "nvme-internal", "usb-luks"});
        ASSERT_TRUE(tree->isReady()) << tree->error().toStdString();
        for (const char* disk : {"sdb", "nvme0n1", "sdc"})
            tree->setCounters(disk, {});
        setSpace("/run/media/me/STICK", {32 * GB, 15 * GB / 10, 15 * GB / 10, false});
        setSpace("/home", {500 * GB, 200 * GB, 200 * GB, false});
        setSpace("/run/media/me/BACKUP", {1000 * GB, 50 * GB, 50 * GB, false});
        settings = std::make_unique<QSettings>(dir.filePath("mallowby.conf"), QSettings::IniFormat);
    }

    void TearDown() override
    {
        controller.reset();
        QCoreApplication::processEvents();
    }

    void start(const QList<std::pair<QString, QString>>& mounts, QHash<QString, QString> environment = {})
    {
        setMounts(mounts);
        store = std::make_unique<VolumeStore>(
            SpaceReader{2s,
                        [capacities = capacities](const QString& path) -> std::optional<Space> {
                            std::lock_guard guard(capacities->lock);
                            if (!capacities->byPath.contains(path))
                                return std::nullopt;
                            return capacities->byPath.value(path);
                        }},
            VolumeStore::Platform{fake.table, std::make_shared<LinuxDiskDescriptions>(Sysfs(tree->root()), nullptr), {}},
            clock);
        store->start();
        auto registry = std::make_shared<LinuxBlockRegistry>(Sysfs(tree->root()));
        drives = std::make_unique<DriveMonitor>(*store, DriveMonitor::Platform{registry, {}}, clock);
        drives->start();
        auto client = std::make_shared<DiskArbitrationClient>(DiskArbitrationClient::Platform{fake.table, registry, disks});
        ejector = std::make_unique<Ejector>(
            Ejector::Platform{client, [](ScanTarget) -> QCoro::Task<BlockerReport> { co_return BlockerReport{}; },
                              std::make_shared<LinuxProcessControl>()},
            clock);
        preferences = std::make_unique<Preferences>(*settings);
        notifier = std::make_unique<Notifier>(*store, *drives, *preferences, std::make_shared<SilentServer>(), clock,
                                              LaunchEnvironment({}));
        updater = std::make_unique<Updater>(Updater::Configuration{QUrl(), dir.filePath("updates.conf"), "0.1.0"}, clock);
        settle();
        controller = std::make_unique<StatusItemController>(*store, *drives, *ejector, *preferences, *notifier, *updater,
                                                            clock, LaunchEnvironment(environment));
        // Not the colour preference of the desktop the tests happen to run on.
        item().followPanel(QDBusConnection(QStringLiteral("no-session-bus")));
        settle();
    }

    void setSpace(const QString& path, const Space& space)
    {
        std::lock_guard guard(capacities->lock);
        capacities->byPath.insert(path, space);
    }
    void setMounts(const QList<std::pair<QString, QString>>& mounts)
    {
        fake.table->mounts.clear();
        for (const auto& [path, source] : mounts)
            fake.table->mounts.append(FakeVolumePlatform::mount(path, source));
    }
    void remount(const QList<std::pair<QString, QString>>& mounts)
    {
        setMounts(mounts);
        store->scheduleRebuild();
        settle();
    }
    // Lets queued rebuilds, capacity reads and the controller's updates run.
    void settle()
    {
        for (int i = 0; i < 8; ++i) {
            QCoreApplication::processEvents();
            QThread::msleep(3);
        }
    }
    const Volume* volumeAt(const QString& path) const
    {
        for (const Volume& volume : store->volumes())
            if (volume.mountPath == path)
                return &volume;
        return nullptr;
    }
    const Drive* driveOf(const QString& path) const
    {
        const Volume* volume = volumeAt(path);
        for (const Drive& drive : drives->drives())
            if (volume && drive.volumeIDs.contains(volume->id))
                return &drive;
        return nullptr;
    }
    StatusItem& item() const { return controller->statusItem(); }
    // Some opaque near-white pixel: label ink for a dark panel.
    bool drawnInLightInk() const
    {
        const QImage drawn = item().image();
        for (int y = 0; y < drawn.height(); ++y)
            for (int x = 0; x < drawn.width(); ++x)
                if (qAlpha(drawn.pixel(x, y)) == 255 && qGray(drawn.pixel(x, y)) > 200)
                    return true;
        return false;
    }

    QTemporaryDir dir;
    std::unique_ptr<QSettings> settings;
    std::unique_ptr<SysfsTree> tree;
    FakeVolumePlatform fake;
    ManualClock clock;
    std::shared_ptr<Capacities> capacities = std::make_shared<Capacities>();
    std::shared_ptr<ScriptedDisks> disks = std::make_shared<ScriptedDisks>();
    std::unique_ptr<VolumeStore> store;
    std::unique_ptr<DriveMonitor> drives;
    std::unique_ptr<Ejector> ejector;
    std::unique_ptr<Preferences> preferences;
    std::unique_ptr<Notifier> notifier;
    std::unique_ptr<Updater> updater;
    std::unique_ptr<StatusItemController> controller;
};

inline const QList<std::pair<QString, QString>> homeOnly{{"/home", "/dev/nvme0n1p2"}};
inline const QList<std::pair<QString, QString>> stickAndHome{{"/home", "/dev/nvme0n1p2"}, {"/run/media/me/STICK", "/dev/sdb1"}};
inline const QList<std::pair<QString, QString>> twoDrives{
    {"/home", "/dev/nvme0n1p2"}, {"/run/media/me/STICK", "/dev/sdb1"}, {"/run/media/me/BACKUP", "/dev/dm-1"}};

} // namespace mallowby::test
