#pragma once

#include "support/TestEnvironment.h"
#include "support/TestWorld.h"

namespace mallowby::test {

// A notification server that records what it is asked, with the status the test sets.
class FakeServer final : public NotificationServer {
public:
    QCoro::Task<Authorization> authorization() override
    {
        ++reads;
        const Authorization answer = status;
        if (delay)
            co_await Clock::system().sleep(*delay);
        co_return answer;
    }
    QCoro::Task<bool> requestAuthorization() override
    {
        ++requests;
        status = answer;
        co_return answer == Authorization::authorized;
    }
    void post(const Notice& notice) override { posted.append(notice); }
    void withdraw(const QString& identifier) override { withdrawn << identifier; }
    std::optional<QStringList> settingsCommand() const override { return std::nullopt; }
    void setOnServerChanged(std::function<void()> callback) override { serverChanged = std::move(callback); }

    Authorization status = Authorization::authorized;
    Authorization answer = Authorization::authorized;  // to a request
    std::optional<std::chrono::milliseconds> delay;     // of a read of the status
    std::function<void()> serverChanged;
    int reads = 0, requests = 0;
    QList<Notice> posted;
    QStringList withdrawn;
};

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
