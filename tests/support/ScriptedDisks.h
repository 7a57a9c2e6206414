#pragma once

#include "Platform/DiskService.h"

#include <QCoro/QCoroTimer>
#include <QHash>

#include <chrono>

namespace mallowby::test {

// udisks2 as a test scripts it: refusals per whole disk, share unmounts that never finish when
// asked; everything else succeeds at once.
class ScriptedDisks final : public DiskService {
public:
    QHash<QString, Dissent> refusals;
    bool hangShares = false;

    QCoro::Task<std::optional<Dissent>> unmountDisk(QString bsdName, bool) override
    {
        co_return refusals.contains(bsdName) ? std::optional(refusals.value(bsdName)) : std::nullopt;
    }
    QCoro::Task<std::optional<Dissent>> ejectDisk(QString) override { co_return std::nullopt; }
    QCoro::Task<std::optional<Dissent>> unmountShare(VolumeStore::Mount, bool) override
    {
        if (hangShares)
            co_await QCoro::sleepFor(std::chrono::hours(24));
        co_return std::nullopt;
    }
};

} // namespace mallowby::test
