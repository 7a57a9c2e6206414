#pragma once

#include "Eject/DiskArbitrationClient.h"
#include "Eject/Ejector.h"
#include "Platform/BlockRegistry.h"
#include "Support/OneShot.h"

#include "support/FakeVolumePlatform.h"
#include "support/ManualClock.h"
#include "support/ScriptedDisks.h"
#include "support/TestEnvironment.h"

#include <QTimer>

#include <vector>

namespace mallowby::test {

// Every /dev/NAME in `ids` is its own whole disk.
class FakeRegistry final : public BlockRegistry {
public:
    QHash<QString, quint64> ids;
    QList<BlockDevice> members(const QString& name) const override
    {
        return ids.contains(name) ? QList<BlockDevice>{BlockDevice{ids.value(name), name}} : QList<BlockDevice>{};
    }
    QStringList wholeMediaBelow(const QString&) const override { return {}; }
    std::optional<QString> wholeDisk(const QString& name) const override { return name; }
    std::unique_ptr<BlockDriver> open(const BlockDevice&) const override { return nullptr; }
    QList<AttachedImage> attachedImages() const override { return {}; }
};

// Processes the test ends by hand; a watch fires on a later turn, like the real one.
class FakeProcesses final : public ProcessControl {
public:
    QHash<qint32, std::function<void()>> watches;
    QSet<qint32> gone;
    QList<std::pair<qint32, int>> signals_;

    std::unique_ptr<Watch> watchExit(qint32 pid, std::optional<quint64>, std::function<void()> exited) override
    {
        struct Handle final : Watch {
            Handle(FakeProcesses* o, qint32 p) : owner(o), pid(p) {}
            ~Handle() override { owner->watches.remove(pid); }
            FakeProcesses* owner;
            qint32 pid;
        };
        if (gone.contains(pid))
            return nullptr;
        watches.insert(pid, std::move(exited));
        return std::make_unique<Handle>(this, pid);
    }
    bool isGone(qint32 pid, std::optional<quint64>) const override { return gone.contains(pid); }
    bool signal(qint32 pid, std::optional<quint64>, int signal) override
    {
        signals_.append({pid, signal});
        return !gone.contains(pid);
    }
    void exit(qint32 pid)
    {
        gone.insert(pid);
        if (auto fire = watches.value(pid))
            QTimer::singleShot(0, fire);
    }
};

inline Blocker blocker(qint32 pid, const QString& name, QList<Blocker::Use> uses = {{Blocker::Reason::workingDirectory, "/media/usb"}})
{
    return Blocker{.pid = pid, .processName = name, .executablePath = {}, .app = {}, .isAppProcess = false, .uses = std::move(uses), .startTime = {}};
}

// Holds every scan that starts while it is set until opened; each then goes on on a later turn.
class ScanGate {
public:
    static std::shared_ptr<ScanGate> make() { return std::make_shared<ScanGate>(); }
    void complete(bool)
    {
        m_open = true;
        for (const auto& waiter : std::exchange(m_waiters, {}))
            waiter->complete(true);
    }
    QCoro::Task<> wait()
    {
        if (!m_open)
            co_await *m_waiters.emplace_back(OneShot<bool>::make());
    }

private:
    bool m_open = false;
    std::vector<std::shared_ptr<OneShot<bool>>> m_waiters;
};

// The real Ejector over these fakes and a manual clock: "/media/usb" on sdb ("12"), "/media/card" on sdc ("13").
class EjectorRig {
public:
    EjectorRig()
    {
        volumes.table->mounts = {FakeVolumePlatform::mount("/media/usb", "/dev/sdb"), FakeVolumePlatform::mount("/media/card", "/dev/sdc")};
        volumes.table->mounts[0].device = 0x810;
        registry->ids = {{"sdb", 12}, {"sdc", 13}};
        const auto scan = [this](ScanTarget target) -> QCoro::Task<BlockerReport> {
            scanned.append(target);
            if (auto held = scanGate)
                co_await held->wait();
            co_return queued.isEmpty() ? BlockerReport(nextReport) : queued.takeFirst();  // a copy: QCoro moves from an lvalue
        };
        auto client = std::make_shared<DiskArbitrationClient>(DiskArbitrationClient::Platform{volumes.table, registry, disks});
        ejector = std::make_unique<Ejector>(Ejector::Platform{client, scan, processes}, clock);
    }

    // Runs a task to its end (or as far as it gets on the event loop).
    template<typename T>
    std::optional<T> run(QCoro::Task<T> task)
    {
        return TestEnvironment::await(std::move(task), std::chrono::seconds(2));
    }
    void run(QCoro::Task<> task)
    {
        run([](QCoro::Task<> t) -> QCoro::Task<bool> {
            co_await std::move(t);
            co_return true;
        }(std::move(task)));
    }
    // Lets queued events and resumed tasks run.
    static void settle() { TestEnvironment::waitUntil([] { return false; }, std::chrono::milliseconds(20)); }

    FakeVolumePlatform volumes;
    std::shared_ptr<FakeRegistry> registry = std::make_shared<FakeRegistry>();
    std::shared_ptr<ScriptedDisks> disks = std::make_shared<ScriptedDisks>();
    std::shared_ptr<FakeProcesses> processes = std::make_shared<FakeProcesses>();
    ManualClock clock;
    QList<ScanTarget> scanned;
    BlockerReport nextReport;
    QList<BlockerReport> queued;  // reports for the next scans, before nextReport
    std::shared_ptr<ScanGate> scanGate;
    std::unique_ptr<Ejector> ejector;

    const EjectTarget usb{"12", "USB Stick", VolumeKind::external, {BlockDevice{12, "sdb"}}, std::nullopt};
    const EjectTarget card{"13", "Card", VolumeKind::external, {BlockDevice{13, "sdc"}}, std::nullopt};
};

} // namespace mallowby::test
