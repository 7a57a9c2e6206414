#pragma once

#include "Eject/DiskArbitrationClient.h"
#include "Eject/Ejector.h"
#include "Eject/FlushWatch.h"
#include "Platform/Linux/LinuxBlockRegistry.h"
#include "Platform/Linux/LinuxMeminfo.h"
#include "Platform/Linux/LinuxMountStats.h"

#include "support/FakeVolumePlatform.h"
#include "support/ScriptedDisks.h"
#include "support/SysfsTree.h"

#include <QFile>
#include <QTemporaryDir>

#include <memory>

namespace mallowby::test {

// An ejector whose unmounts wait for release(); a flush watch reading scripted meminfo and mountstats
// (NFS /mnt/nfs, FUSE /mnt/fuse, which counts nothing) and a fixture stick's (sdb) counters.
class FlushRig {
public:
    static constexpr quint64 MB = 1'000'000;

    explicit FlushRig(Clock& clock) : registry(std::make_shared<LinuxBlockRegistry>(Sysfs(tree.root())))
    {
        setPending(0);
        setShareWritten(0);
        volumes.table->mounts = {VolumeStore::Mount{"/mnt/nfs", "server:/export", "nfs4", false, 0, false},
                                 VolumeStore::Mount{"/mnt/fuse", "sshfs", "fuse.sshfs", false, 0, false}};
        auto client = std::make_shared<DiskArbitrationClient>(DiskArbitrationClient::Platform{volumes.table, registry, disks});
        ejector = std::make_unique<Ejector>(
            Ejector::Platform{client, [](ScanTarget) -> QCoro::Task<BlockerReport> { co_return BlockerReport{}; }, nullptr}, clock);
        watch = new FlushWatch(*ejector,
                               FlushWatch::Platform{registry, [path = path("meminfo")] { return LinuxMeminfo(path).pendingWrites(); },
                                                    [path = path("mountstats")](const QString& at) { return LinuxMountStats(path).bytesWritten(at); }},
                               clock);
        stick = EjectTarget{"12", "Stick", VolumeKind::external, registry->members("sdb1"), std::nullopt};
    }

    bool isReady() const { return tree.isReady() && dir.isValid() && !stick.members.isEmpty(); }
    // The system's Dirty and Writeback figures, split in two so both count.
    void setPending(quint64 bytes)
    {
        const quint64 kB = bytes / 1024;
        write("meminfo", QStringLiteral("MemTotal: 24684544 kB\nDirty: %1 kB\nWriteback: %2 kB\nWritebackTmp: 7 kB\n").arg(kB / 2).arg(kB - kB / 2));
    }
    void setWritten(quint64 bytes) { tree.setCounters(QStringLiteral("sdb"), {0, bytes}); }
    void setShareWritten(quint64 bytes)
    {
        write("mountstats", QStringLiteral("device server:/export mounted on /mnt/nfs with fstype nfs4 statvers=1.1\n\tbytes:\t0 %1 0 0 0 %1 0 0\n"
                                           "device sshfs mounted on /mnt/fuse with fstype fuse.sshfs\n")
                                .arg(bytes));
    }
    static EjectTarget share(const QString& path) { return EjectTarget{path, path.section('/', -1), VolumeKind::network, {}, path}; }
    // The result lands in `ejected`.
    void eject(const EjectTarget& target)
    {
        [](Ejector& e, EjectTarget t, std::shared_ptr<std::optional<bool>> out) -> QCoro::Task<> { *out = co_await e.eject(t, false); }(
            *ejector, target, ejected);
    }
    void release() { disks->release(); }

    SysfsTree tree{{QStringLiteral("usb-disk")}};
    QTemporaryDir dir;
    FakeVolumePlatform volumes;
    std::shared_ptr<ScriptedDisks> disks = [] {
        auto disks = std::make_shared<ScriptedDisks>();
        disks->holdDisks = disks->holdShares = true;
        return disks;
    }();
    std::shared_ptr<LinuxBlockRegistry> registry;
    std::unique_ptr<Ejector> ejector;
    FlushWatch* watch;  // owned by the ejector
    EjectTarget stick;
    std::shared_ptr<std::optional<bool>> ejected = std::make_shared<std::optional<bool>>();

private:
    QString path(const char* name) const { return dir.filePath(QLatin1String(name)); }
    void write(const char* name, const QString& text) const
    {
        QFile file(path(name));
        if (file.open(QIODevice::WriteOnly | QIODevice::Truncate))
            file.write(text.toLatin1());
    }
};

} // namespace mallowby::test
