#include "Eject/DiskArbitrationClient.h"

#include "Platform/DiskService.h"
#include "Platform/Linux/LinuxPlatform.h"

namespace mallowby {

DiskArbitrationClient::DiskArbitrationClient(Platform platform) : m_platform(std::move(platform)) {}

std::shared_ptr<DiskArbitrationClient> DiskArbitrationClient::shared()
{
    static const auto client = std::make_shared<DiskArbitrationClient>(LinuxPlatform::diskArbitration());
    return client;
}

QList<VolumeStore::Mount> DiskArbitrationClient::mounts(const EjectTarget& target) const
{
    return target.mounts(*m_platform.mountTable, *m_platform.registry);
}

QStringList DiskArbitrationClient::dependentWholeDisks(const EjectTarget& target) const
{
    return target.dependentWholeDisks(*m_platform.mountTable, *m_platform.registry);
}

QCoro::Task<bool> DiskArbitrationClient::isReleased(EjectTarget target) const
{
    const auto disks = m_platform.disks;
    for (const BlockDevice& member : std::as_const(target.members))
        if (!co_await disks->isReleased(member.bsdName))
            co_return false;
    co_return true;
}

QCoro::Task<std::optional<EjectFailure>> DiskArbitrationClient::eject(EjectTarget target, bool force,
                                                                      std::function<QCoro::Task<>()> beforeEject) const
{
    // Copies: the sequence may outlive this call's caller.
    const auto disks = m_platform.disks;

    if (target.networkMountPath) {
        const auto shares = mounts(target);
        if (shares.isEmpty())
            co_return EjectFailure::other(Dissent::notFound, *target.networkMountPath + QStringLiteral(" not found"));
        auto failure = EjectFailure::from(co_await disks->unmountShare(shares.first(), force));
        if (!failure && beforeEject)
            co_await beforeEject();
        co_return failure;
    }

    const QStringList dependents = dependentWholeDisks(target);
    for (const QString& disk : dependents)
        if (auto failure = EjectFailure::from(co_await disks->unmountDisk(disk, force)))
            co_return failure;
    for (const BlockDevice& member : std::as_const(target.members))
        if (auto failure = EjectFailure::from(co_await disks->unmountDisk(member.bsdName, force)))
            co_return failure;
    if (beforeEject)
        co_await beforeEject();
    for (const BlockDevice& member : std::as_const(target.members))
        if (auto failure = EjectFailure::from(co_await disks->ejectDisk(member.bsdName)))
            co_return failure;
    co_return std::nullopt;
}

} // namespace mallowby
