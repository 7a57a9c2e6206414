#pragma once

#include "support/TestEnvironment.h"
#include "support/TestWorld.h"

namespace mallowby::test {

// The test world with a USB stick, an internal NVMe disk and a network share:
//   Backup  /run/media/me/Backup  /dev/sdb1        external   500 GB, 100 GB free
//   /       /                     /dev/nvme0n1p2   internal   1 TB, 400 GB free
//   share   /mnt/share            server:/share    network    100 GB, 50 GB free
class NotifierRig : public TestWorld {
public:
    static inline const QString backup = QStringLiteral("/dev/sdb1");
    static inline const QString share = QStringLiteral("server:/share");

    NotifierRig() : TestWorld({QStringLiteral("usb-disk"), QStringLiteral("nvme-internal")})
    {
        fake.table->mounts = {FakeVolumePlatform::mount(QStringLiteral("/run/media/me/Backup"), backup),
                              FakeVolumePlatform::mount(QStringLiteral("/"), QStringLiteral("/dev/nvme0n1p2")),
                              VolumeStore::Mount{QStringLiteral("/mnt/share"), share, QStringLiteral("nfs"), false, 0, false}};
        setSpace(QStringLiteral("/run/media/me/Backup"), 500 * GB, 100 * GB);
        setSpace(QStringLiteral("/"), 1000 * GB, 400 * GB);
        setSpace(QStringLiteral("/mnt/share"), 100 * GB, 50 * GB);
    }

    // Starts store, monitor and notifier; every volume has its first figures when this returns.
    bool start(std::shared_ptr<NotificationServer> server)
    {
        if (!tree.isReady())
            return false;
        startStore();
        startMonitor();
        startNotifier(std::move(server));
        return store->volumes().size() == 3 && waitForFigures();
    }
    void setSpace(const QString& path, qint64 total, qint64 available) { capacities.set(path, Space{total, available, available, false}); }
};

} // namespace mallowby::test
