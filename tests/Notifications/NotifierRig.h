#pragma once

#include "Drives/DriveMonitor.h"
#include "Notifications/Notifier.h"
#include "Platform/Linux/LinuxBlockRegistry.h"
#include "Platform/Linux/LinuxDiskDescriptions.h"
#include "Settings/Preferences.h"
#include "Support/LaunchEnvironment.h"
#include "Volumes/VolumeStore.h"

#include "support/FakeVolumePlatform.h"
#include "support/ManualClock.h"
#include "support/SysfsTree.h"
#include "support/TestEnvironment.h"

#include <QSettings>
#include <QTemporaryDir>

#include <memory>
#include <mutex>

namespace mallowby::test {

// A notifier over a volume store with a scripted mount table and scripted capacity figures, a
// drive monitor over a fixture sysfs tree (a USB stick and an internal NVMe disk), preferences in
// a settings file of its own and a manual clock.
//   Backup  /run/media/me/Backup  /dev/sdb1        external
//   /       /                     /dev/nvme0n1p2   internal, boot
//   share   /mnt/share            server:/share    network
class NotifierRig {
public:
    static inline const QString backup = QStringLiteral("/dev/sdb1");
    static inline const QString root = QStringLiteral("/dev/nvme0n1p2");
    static inline const QString share = QStringLiteral("server:/share");
    static constexpr qint64 GB = 1'000'000'000;

    NotifierRig()
    {
        fake.table->mounts = {FakeVolumePlatform::mount(QStringLiteral("/run/media/me/Backup"), backup),
                              FakeVolumePlatform::mount(QStringLiteral("/"), root),
                              VolumeStore::Mount{QStringLiteral("/mnt/share"), share, QStringLiteral("nfs"), false, 0, false}};
        setSpace(QStringLiteral("/run/media/me/Backup"), 500 * GB, 100 * GB);
        setSpace(QStringLiteral("/"), 1000 * GB, 400 * GB);
        setSpace(QStringLiteral("/mnt/share"), 100 * GB, 50 * GB);
        settings = std::make_unique<QSettings>(config.filePath(QStringLiteral("mallowby.conf")), QSettings::IniFormat);
        preferences = std::make_unique<Preferences>(*settings);
    }

    // Starts store, monitor and notifier; every volume has its first figures when this returns.
    bool start(std::shared_ptr<NotificationServer> server, bool echo)
    {
        if (!tree.isReady())
            return false;
        VolumeStore::Platform platform{fake.table, std::make_shared<LinuxDiskDescriptions>(Sysfs(tree.root()), nullptr), {}};
        store = std::make_unique<VolumeStore>(SpaceReader{std::chrono::seconds(2),
                                                          [figures = figures](const QString& path) {
                                                              std::lock_guard guard(figures->lock);
                                                              const auto it = figures->byPath.constFind(path);
                                                              return it == figures->byPath.constEnd() ? std::nullopt
                                                                                                       : std::optional(*it);
                                                          }},
                                              platform, clock);
        QObject::connect(store.get(), &VolumeStore::volumesChanged, [this] { ++publications; });
        monitor = std::make_unique<DriveMonitor>(
            *store, DriveMonitor::Platform{std::make_shared<LinuxBlockRegistry>(Sysfs(tree.root())), {}}, clock);
        QHash<QString, QString> variables;
        if (echo)
            variables.insert(QStringLiteral("MALLOWBY_LOG_NOTIFICATIONS"), QString());
        environment = std::make_unique<LaunchEnvironment>(variables);
        notifier = std::make_unique<Notifier>(*store, *monitor, *preferences, std::move(server), clock, *environment);
        store->start();
        monitor->start();
        notifier->start();
        return TestEnvironment::waitUntil(
            [this] {
                return store->volumes().size() == 3
                       && std::all_of(store->volumes().begin(), store->volumes().end(), [](const Volume& v) { return v.space; });
            },
            std::chrono::seconds(5));
    }

    void setSpace(const QString& path, qint64 total, qint64 available)
    {
        std::lock_guard guard(figures->lock);
        figures->byPath.insert(path, Space{total, available, available, false});
    }

    // Reads the volume's figures again and waits until the store has published them.
    bool refresh(const QString& id)
    {
        const int before = publications;
        store->refreshSpace(id);
        return TestEnvironment::waitUntil([&] { return publications > before; }, std::chrono::seconds(5));
    }

    // The new figures of the volume mounted at `path`, read and published.
    bool fill(const QString& path, qint64 total, qint64 available)
    {
        setSpace(path, total, available);
        for (const Volume& volume : store->volumes())
            if (volume.mountPath == path)
                return refresh(volume.id);
        return false;
    }

    SysfsTree tree{{QStringLiteral("usb-disk"), QStringLiteral("nvme-internal")}};
    FakeVolumePlatform fake;
    ManualClock clock;
    QTemporaryDir config;
    std::unique_ptr<QSettings> settings;
    std::unique_ptr<Preferences> preferences;
    std::unique_ptr<VolumeStore> store;
    std::unique_ptr<DriveMonitor> monitor;
    std::unique_ptr<LaunchEnvironment> environment;
    std::unique_ptr<Notifier> notifier;
    int publications = 0;

    // Shared with the reader threads.
    struct Figures {
        std::mutex lock;
        QHash<QString, Space> byPath;
    };
    std::shared_ptr<Figures> figures = std::make_shared<Figures>();
};

} // namespace mallowby::test
