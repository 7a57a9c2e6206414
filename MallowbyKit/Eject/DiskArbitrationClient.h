#pragma once

#include "Eject/EjectFailure.h"
#include "Eject/EjectTarget.h"

#include <QCoro/QCoroTask>

#include <functional>
#include <memory>

namespace mallowby {

class BlockRegistry;
class DiskService;
class MountTable;

// Runs the whole unmount-and-eject sequence of one target and answers success or one failure:
// the disks stacked on the members first, then the members' file systems, then the members'
// media. A network share is only unmounted. Several targets may be under way at once.
class DiskArbitrationClient {
public:
    struct Platform {
        std::shared_ptr<const MountTable> mountTable;
        std::shared_ptr<const BlockRegistry> registry;
        std::shared_ptr<DiskService> disks;
    };

    explicit DiskArbitrationClient(Platform platform);

    // The process-wide client over the real system services.
    static std::shared_ptr<DiskArbitrationClient> shared();

    // `beforeEject`, when given, is awaited once everything is unmounted and before any medium is
    // ejected or powered off.
    QCoro::Task<std::optional<EjectFailure>> eject(EjectTarget target, bool force,
                                                   std::function<QCoro::Task<>()> beforeEject = {}) const;
    // Whether nothing holds any member any more.
    QCoro::Task<bool> isReleased(EjectTarget target) const;

    QList<VolumeStore::Mount> mounts(const EjectTarget& target) const;
    QStringList dependentWholeDisks(const EjectTarget& target) const;
    const Platform& platform() const { return m_platform; }

private:
    Platform m_platform;
};

} // namespace mallowby
