#pragma once

#include "Platform/DiskService.h"

#include "Support/OneShot.h"

#include <QHash>

namespace mallowby::test {

// udisks2 as a test scripts it: refusals per whole disk, and unmounts that hang until the test
// releases them (as a real one ends at its time limit, so no task outlives the ejector).
class ScriptedDisks final : public DiskService {
public:
    QHash<QString, Dissent> refusals;
    bool hangShares = false;
    bool hangDisks = false;

    QCoro::Task<std::optional<Dissent>> unmountDisk(QString bsdName, bool) override
    {
        if (hangDisks)
            co_await *m_hung;
        co_return refusals.contains(bsdName) ? std::optional(refusals.value(bsdName)) : std::nullopt;
    }
    QCoro::Task<std::optional<Dissent>> ejectDisk(QString) override { co_return std::nullopt; }
    QCoro::Task<std::optional<Dissent>> unmountShare(VolumeStore::Mount, bool) override
    {
        if (hangShares)
            co_await *m_hung;
        co_return std::nullopt;
    }
    void release() { m_hung->complete(true); }

private:
    std::shared_ptr<OneShot<bool>> m_hung = OneShot<bool>::make();
};

} // namespace mallowby::test
