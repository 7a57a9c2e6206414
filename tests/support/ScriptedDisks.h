#pragma once

#include "Platform/DiskService.h"

#include "Support/OneShot.h"

#include <QHash>
#include <QStringList>

#include <vector>

namespace mallowby::test {

// udisks2 as a test scripts it: an answer per whole disk or share (by mount path), every request
// logged, and unmounts that wait while held until the test releases them (as a real one ends at
// its time limit, so no task outlives the ejector). A forced unmount always succeeds.
class ScriptedDisks final : public DiskService {
public:
    QHash<QString, std::optional<Dissent>> answers;
    QStringList calls;
    bool holdDisks = false;
    bool holdShares = false;
    bool stillHeld = false;  // a file system unmounted lazily still holds the disks

    QCoro::Task<std::optional<Dissent>> unmountDisk(QString bsdName, bool force) override
    {
        calls << "unmount " + bsdName + (force ? " force" : "");
        if (holdDisks)
            co_await wait();
        co_return force ? std::nullopt : answers.value(bsdName);
    }
    QCoro::Task<std::optional<Dissent>> ejectDisk(QString bsdName) override
    {
        calls << "eject " + bsdName;
        co_return std::nullopt;
    }
    QCoro::Task<bool> isReleased(QString) override { co_return !stillHeld; }
    QCoro::Task<std::optional<Dissent>> unmountShare(VolumeStore::Mount mount, bool force) override
    {
        calls << "unmount share " + mount.path;
        if (holdShares)
            co_await wait();
        co_return force ? std::nullopt : answers.value(mount.path);
    }
    // Lets every unmount held so far go on.
    void release()
    {
        for (const auto& gate : std::exchange(m_gates, {}))
            gate->complete(true);
    }

private:
    QCoro::Task<> wait()
    {
        const auto gate = m_gates.emplace_back(OneShot<bool>::make());
        co_await *gate;
    }

    std::vector<std::shared_ptr<OneShot<bool>>> m_gates;
};

} // namespace mallowby::test
