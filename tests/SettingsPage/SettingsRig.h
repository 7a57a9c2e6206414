#pragma once

#include "LoginItem.h"
#include "MenuBar/StatusItemController.h"
#include "Popover/SettingsView.h"
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

#include "support/AccessibleTree.h"
#include "support/FakeVolumePlatform.h"
#include "support/ManualClock.h"
#include "support/SysfsTree.h"
#include "support/TestEnvironment.h"

#include <QCoreApplication>
#include <QSettings>
#include <QTemporaryDir>
#include <QThread>

#include <memory>

namespace mallowby::test {

// The desktop's notification service as a test sets it: a status, a count of permission requests
// and the settings program.
class ScriptedNotificationServer final : public NotificationServer {
public:
    Authorization status = Authorization::denied;
    int requests = 0;
    std::optional<QStringList> command;

    QCoro::Task<Authorization> authorization() override { co_return status; }
    QCoro::Task<bool> requestAuthorization() override
    {
        ++requests;
        co_return status == Authorization::authorized;
    }
    void post(const Notice&) override {}
    std::optional<QStringList> settingsCommand() const override { return command; }
};

class NoDisks final : public DiskService {
public:
    QCoro::Task<std::optional<Dissent>> unmountDisk(QString, bool) override { co_return std::nullopt; }
    QCoro::Task<std::optional<Dissent>> ejectDisk(QString) override { co_return std::nullopt; }
    QCoro::Task<std::optional<Dissent>> unmountShare(VolumeStore::Mount, bool) override { co_return std::nullopt; }
};

// The objects the settings page works on, as the application wires them: the real volume store
// and drive monitor over a scripted mount table and fixture sysfs trees (a USB stick, an internal
// NVMe disk), preferences, updater settings and the autostart entry in a folder of their own, the
// tray item's controller, and a manual clock.
//   STICK  /run/media/me/STICK  /dev/sdb1       external, 1.5 GB free of 32 GB
//   /      /                    /dev/nvme0n1p2  internal, boot, 200 GB free of 500 GB
class SettingsRig {
public:
    static constexpr qint64 GB = 1'000'000'000;

    explicit SettingsRig(QString configPath = {})
        : m_ownConfig(configPath.isEmpty()), config(m_ownConfig ? m_temporary.path() : configPath)
    {
        settings = std::make_unique<QSettings>(settingsPath(), QSettings::IniFormat);
        server->command = QStringList{QStringLiteral("touch"), config + QStringLiteral("/opened-notification-settings")};
    }
    ~SettingsRig()
    {
        view.reset();
        controller.reset();
        QCoreApplication::processEvents();
    }

    QString settingsPath() const { return config + QStringLiteral("/mallowby/mallowby.conf"); }
    QString autostartPath() const { return config + QStringLiteral("/autostart/mallowby.desktop"); }

    // Builds the stack with these mounts, and the page, shown.
    bool start(bool mounted = true)
    {
        if (!tree.isReady())
            return false;
        for (const char* disk : {"sdb", "nvme0n1"})
            tree.setCounters(disk, {});
        if (mounted)
            fake.table->mounts = {FakeVolumePlatform::mount(QStringLiteral("/run/media/me/STICK"), QStringLiteral("/dev/sdb1")),
                                  FakeVolumePlatform::mount(QStringLiteral("/"), QStringLiteral("/dev/nvme0n1p2"))};
        store = std::make_unique<VolumeStore>(
            SpaceReader{std::chrono::seconds(2),
                        [](const QString& path) -> std::optional<Space> {
                            if (path == QStringLiteral("/run/media/me/STICK"))
                                return Space{32 * GB, 15 * GB / 10, 15 * GB / 10, false};
                            return Space{500 * GB, 200 * GB, 200 * GB, false};
                        }},
            VolumeStore::Platform{fake.table, std::make_shared<LinuxDiskDescriptions>(Sysfs(tree.root()), nullptr), {}}, clock);
        store->start();
        auto registry = std::make_shared<LinuxBlockRegistry>(Sysfs(tree.root()));
        drives = std::make_unique<DriveMonitor>(*store, DriveMonitor::Platform{registry, {}}, clock);
        drives->start();
        auto client = std::make_shared<DiskArbitrationClient>(
            DiskArbitrationClient::Platform{fake.table, registry, std::make_shared<NoDisks>()});
        ejector = std::make_unique<Ejector>(
            Ejector::Platform{client, [](ScanTarget) -> QCoro::Task<BlockerReport> { co_return BlockerReport{}; },
                              std::make_shared<LinuxProcessControl>()},
            clock);
        preferences = std::make_unique<Preferences>(*settings);
        notifier = std::make_unique<Notifier>(*store, *drives, *preferences, server, clock, LaunchEnvironment({}));
        notifier->start();
        updater = std::make_unique<Updater>(
            Updater::Configuration{QUrl(), config + QStringLiteral("/mallowby/updates.conf"), QStringLiteral("0.1.0")}, clock);
        updater->setMessagePresenter([this](const Updater::Message& message) { messages.append(message); });
        settle();
        controller = std::make_unique<StatusItemController>(*store, *drives, *ejector, *preferences, *notifier, *updater,
                                                            clock, LaunchEnvironment({}));
        view = std::make_unique<SettingsView>(*preferences, *store, *notifier, *updater,
                                              LoginItem(autostartPath(), QStringLiteral("/usr/bin/mallowby")),
                                              [this] { ++copies; }, clock);
        view->resize(312, 700);
        view->show();
        settle();
        return mounted ? store->volumes().size() == 2 : true;
    }

    // Lets queued rebuilds, capacity reads and deferred updates run.
    void settle()
    {
        for (int i = 0; i < 8; ++i) {
            QCoreApplication::processEvents();
            QThread::msleep(3);
        }
    }

    // The value stored under `key`, read back from the file by a store of its own.
    QVariant stored(const QString& key) const
    {
        QSettings file(settingsPath(), QSettings::IniFormat);
        return file.value(key);
    }
    bool isStored(const QString& key) const
    {
        QSettings file(settingsPath(), QSettings::IniFormat);
        return file.contains(key);
    }

    QString volumeID(const QString& mountPath) const
    {
        for (const Volume& volume : store->volumes())
            if (volume.mountPath == mountPath)
                return volume.id;
        return {};
    }

    AccessibleTree page() const { return AccessibleTree(view.get()); }

private:
    QTemporaryDir m_temporary;
    bool m_ownConfig;

public:
    QString config;
    SysfsTree tree{{QStringLiteral("usb-disk"), QStringLiteral("nvme-internal")}};
    FakeVolumePlatform fake;
    ManualClock clock;
    std::shared_ptr<ScriptedNotificationServer> server = std::make_shared<ScriptedNotificationServer>();
    std::unique_ptr<QSettings> settings;
    std::unique_ptr<VolumeStore> store;
    std::unique_ptr<DriveMonitor> drives;
    std::unique_ptr<Ejector> ejector;
    std::unique_ptr<Preferences> preferences;
    std::unique_ptr<Notifier> notifier;
    std::unique_ptr<Updater> updater;
    std::unique_ptr<StatusItemController> controller;
    std::unique_ptr<SettingsView> view;
    QList<Updater::Message> messages;
    int copies = 0;
};

} // namespace mallowby::test
