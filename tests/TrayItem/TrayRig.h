#pragma once

#include "MenuBar/StatusItemController.h"
#include "Updates/Updater.h"

#include "Eject/DiskArbitrationClient.h"
#include "Eject/Ejector.h"
#include "Platform/Linux/LinuxBlockRegistry.h"
#include "Platform/Linux/LinuxProcessControl.h"

#include "support/ScriptedDisks.h"
#include "support/ScriptedNotificationServer.h"
#include "support/TestEnvironment.h"
#include "support/TestWorld.h"

#include <QAccessible>
#include <QLocale>

#include <gtest/gtest.h>

namespace mallowby::test {

using namespace std::chrono_literals;

inline constexpr qint64 GB = TestWorld::GB;

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

// The whole stack below the tray item: the test world's store, drive monitor, preferences and
// notifier, and the real ejector over scripted udisks.
class TrayRig : public ::testing::Test {
protected:
    void SetUp() override
    {
        QLocale::setDefault(QLocale(QLocale::English, QLocale::UnitedStates));
        ASSERT_TRUE(tree->isReady()) << tree->error().toStdString();
        for (const char* disk : {"sdb", "nvme0n1", "sdc"})
            tree->setCounters(disk, {});
        setSpace("/run/media/me/STICK", {32 * GB, 15 * GB / 10, 15 * GB / 10, false});
        setSpace("/home", {500 * GB, 200 * GB, 200 * GB, false});
        setSpace("/run/media/me/BACKUP", {1000 * GB, 50 * GB, 50 * GB, false});
    }
    void TearDown() override
    {
        controller.reset();
        disks->release();
        settle();
    }

    void start(const QList<std::pair<QString, QString>>& mounts, QHash<QString, QString> environment = {})
    {
        world.setMounts(mounts);
        world.startStore();
        world.startMonitor();
        auto client = std::make_shared<DiskArbitrationClient>(DiskArbitrationClient::Platform{
            world.fake.table, std::make_shared<LinuxBlockRegistry>(Sysfs(tree->root())), disks});
        ejector = std::make_unique<Ejector>(
            Ejector::Platform{client, [](ScanTarget) -> QCoro::Task<BlockerReport> { co_return BlockerReport{}; },
                              std::make_shared<LinuxProcessControl>()},
            clock);
        preferences = std::make_unique<Preferences>(*settings);  // the settings the test wrote
        world.startNotifier(notificationServer);
        updater = std::make_unique<Updater>(Updater::Configuration{QUrl(), dir.filePath("updates.conf"), "0.1.0"}, clock);
        settle();
        controller = std::make_unique<StatusItemController>(*store, *drives, *ejector, *preferences, *notifier, *updater,
                                                            clock, LaunchEnvironment(environment));
        // Not the colour preference of the desktop the tests happen to run on.
        item().followPanel(QDBusConnection(QStringLiteral("no-session-bus")));
        settle();
    }

    void setSpace(const QString& path, const Space& space) { world.capacities.set(path, space); }
    // New figures for a path, read in by the store.
    void reread(const QString& path, const Space& space)
    {
        setSpace(path, space);
        store->refreshAll();
        settle();
    }
    void remount(const QList<std::pair<QString, QString>>& mounts) { world.remount(mounts); }
    static void settle() { TestWorld::settle(); }
    const Volume* volumeAt(const QString& path) const { return world.volumeAt(path); }
    const Drive* driveOf(const QString& path) const
    {
        const Volume* volume = volumeAt(path);
        for (const Drive& drive : drives->drives())
            if (volume && drive.volumeIDs.contains(volume->id))
                return &drive;
        return nullptr;
    }
    StatusItem& item() const { return controller->statusItem(); }
    // A shown element of the open popover.
    QAccessibleInterface* inPopover(const QString& name) const
    {
        return findNamed(QAccessible::queryAccessibleInterface(controller->popover()), name);
    }
    // Presses the popover's control as a screen reader does; false when there is none or it is off.
    bool pressInPopover(const QString& name) const
    {
        QAccessibleInterface* control = inPopover(name);
        if (!control || !control->actionInterface() || control->state().disabled)
            return false;
        control->actionInterface()->doAction(QAccessibleActionInterface::pressAction());
        settle();
        return true;
    }

    TestWorld world{{"usb-disk", "nvme-internal", "usb-luks"}};
    QTemporaryDir& dir = world.config;
    std::unique_ptr<QSettings>& settings = world.settings;
    SysfsTree* tree = &world.tree;
    ManualClock& clock = world.clock;
    std::unique_ptr<VolumeStore>& store = world.store;
    std::unique_ptr<DriveMonitor>& drives = world.monitor;
    std::unique_ptr<Preferences>& preferences = world.preferences;
    std::unique_ptr<Notifier>& notifier = world.notifier;
    std::shared_ptr<ScriptedDisks> disks = std::make_shared<ScriptedDisks>();
    std::shared_ptr<NotificationServer> notificationServer = std::make_shared<ScriptedNotificationServer>();
    std::unique_ptr<Ejector> ejector;
    std::unique_ptr<Updater> updater;
    std::unique_ptr<StatusItemController> controller;
};

inline const QList<std::pair<QString, QString>> homeOnly{{"/home", "/dev/nvme0n1p2"}};
inline const QList<std::pair<QString, QString>> stickAndHome{{"/home", "/dev/nvme0n1p2"}, {"/run/media/me/STICK", "/dev/sdb1"}};
inline const QList<std::pair<QString, QString>> twoDrives{
    {"/home", "/dev/nvme0n1p2"}, {"/run/media/me/STICK", "/dev/sdb1"}, {"/run/media/me/BACKUP", "/dev/dm-1"}};

} // namespace mallowby::test
