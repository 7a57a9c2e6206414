#include "PopoverWorld.h"

#include "Eject/DiskArbitrationClient.h"
#include "Platform/Linux/LinuxBlockRegistry.h"
#include "Platform/Linux/LinuxDiskDescriptions.h"
#include "Platform/ProcessControl.h"
#include "Platform/MountTable.h"
#include "Platform/Linux/Sysfs.h"

#include "support/ScriptedNotificationServer.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QProcess>
#include <QThread>

namespace mallowby::bench {

using namespace std::chrono_literals;

class PopoverWorld::Table final : public MountTable {
public:
    QList<VolumeStore::Mount> read() const override { return mounts; }
    QList<VolumeStore::Mount> mounts;
};

// The sysfs descriptions, with made-up ones for devices the tree lacks.
class PopoverWorld::Descriptions final : public DiskDescriptions {
public:
    explicit Descriptions(const QString& root) : m_linux(Sysfs(root), nullptr) {}
    std::optional<DiskDescription> describe(const QString& bsdName) const override
    {
        if (const auto it = extra.constFind(bsdName); it != extra.constEnd())
            return *it;
        return m_linux.describe(bsdName);
    }
    QHash<QString, DiskDescription> extra;

private:
    LinuxDiskDescriptions m_linux;
};

namespace {

void write(const QString& file, const QString& text)
{
    QDir().mkpath(QFileInfo(file).path());
    QFile out(file);
    if (out.open(QIODevice::WriteOnly | QIODevice::Truncate))
        out.write(text.toUtf8());
}

QString statLine(IOCounters counters)
{
    return QStringLiteral("%1 0 %2 0 %3 0 %4 0 0 0 0 0 0 0 0 0 0\n")
        .arg(counters.bytesRead / 4096)
        .arg(counters.bytesRead / 512)
        .arg(counters.bytesWritten / 4096)
        .arg(counters.bytesWritten / 512);
}

} // namespace

namespace {

// The made-up blockers run on, and no signal the scenes send reaches a real process with their pid.
class PretendProcesses final : public ProcessControl {
public:
    std::unique_ptr<Watch> watchExit(qint32, std::optional<quint64>, std::function<void()>) override
    {
        return std::make_unique<Watch>();
    }
    bool isGone(qint32, std::optional<quint64>) const override { return false; }
    bool signal(qint32, std::optional<quint64>, int) override { return true; }
};

} // namespace

PopoverWorld::PopoverWorld()
    : m_root(m_dir.path()),
      m_settings(std::make_unique<QSettings>(m_dir.filePath(QStringLiteral("mallowby.conf")), QSettings::IniFormat)),
      m_disks(std::make_shared<test::ScriptedDisks>()),
      m_descriptions(std::make_shared<Descriptions>(m_dir.path())),
      m_table(std::make_shared<Table>())
{
    QDir().mkpath(m_root + QStringLiteral("/class/block"));
}

PopoverWorld::~PopoverWorld()
{
    m_controller.reset();
    QCoreApplication::processEvents();
}

void PopoverWorld::addFixture(const QString& name)
{
    QProcess::execute(QStringLiteral("cp"), {QStringLiteral("-a"),
                                             QStringLiteral(MALLOWBY_TEST_DATA "/sysfs/") + name + QStringLiteral("/."), m_root});
}

void PopoverWorld::addUsbDisk(const QString& disk, int index, const QString& model, int partitions)
{
    const QString device = QStringLiteral("%1/devices/pci0000:00/0000:00:14.0/usb%2/%2-1/%2-1:1.0/host%2/target%2:0:0/%2:0:0:0")
                               .arg(m_root)
                               .arg(10 + index);
    write(device + QStringLiteral("/vendor"), QStringLiteral("Generic\n"));
    write(device + QStringLiteral("/model"), model + QLatin1Char('\n'));
    const QString path = device + QStringLiteral("/block/") + disk;
    const int minor = 16 * index;
    write(path + QStringLiteral("/dev"), QStringLiteral("8:%1\n").arg(minor));
    write(path + QStringLiteral("/diskseq"), QStringLiteral("%1\n").arg(100 + index));
    write(path + QStringLiteral("/removable"), QStringLiteral("1\n"));
    write(path + QStringLiteral("/stat"), statLine({}));
    QFile::link(device, path + QStringLiteral("/device"));
    QFile::link(path, m_root + QStringLiteral("/class/block/") + disk);
    for (int p = 1; p <= partitions; ++p) {
        const QString name = disk + QString::number(p);
        const QString part = path + QLatin1Char('/') + name;
        write(part + QStringLiteral("/dev"), QStringLiteral("8:%1\n").arg(minor + p));
        write(part + QStringLiteral("/partition"), QStringLiteral("%1\n").arg(p));
        write(part + QStringLiteral("/stat"), statLine({}));
        QFile::link(part, m_root + QStringLiteral("/class/block/") + name);
    }
}

void PopoverWorld::addLooseImage(const QString& bsdName)
{
    DiskDescription description;
    description.deviceModel = QStringLiteral("Disk Image");
    m_descriptions->extra.insert(bsdName, description);
}

void PopoverWorld::mount(const QString& path, const QString& source, const QString& type, bool isLocal)
{
    m_table->mounts.append(VolumeStore::Mount{path, source, type, isLocal, 0, false});
    if (m_store) {
        m_store->scheduleRebuild();
        settle();
    }
}

void PopoverWorld::setSpace(const QString& path, const Space& space)
{
    std::lock_guard guard(m_capacities->lock);
    m_capacities->byPath.insert(path, space);
}

void PopoverWorld::setCounters(const QString& disk, IOCounters counters)
{
    write(m_root + QStringLiteral("/class/block/") + disk + QStringLiteral("/stat"), statLine(counters));
}

void PopoverWorld::refuse(const QString& disk, Dissent dissent)
{
    m_disks->answers.insert(disk, dissent);
}

void PopoverWorld::hangShares()
{
    m_disks->holdShares = true;
}

void PopoverWorld::start(const QHash<QString, QString>& environment)
{
    m_store = std::make_unique<VolumeStore>(
        SpaceReader{2s,
                    [capacities = m_capacities](const QString& path) -> std::optional<Space> {
                        std::lock_guard guard(capacities->lock);
                        const auto it = capacities->byPath.constFind(path);
                        return it == capacities->byPath.constEnd() ? std::nullopt : std::optional(*it);
                    }},
        VolumeStore::Platform{m_table, m_descriptions, {}}, m_clock);
    m_store->start();
    auto registry = std::make_shared<LinuxBlockRegistry>(Sysfs(m_root));
    m_drives = std::make_unique<DriveMonitor>(*m_store, DriveMonitor::Platform{registry, {}}, m_clock);
    m_drives->start();
    auto client = std::make_shared<DiskArbitrationClient>(DiskArbitrationClient::Platform{m_table, registry, m_disks});
    m_ejector = std::make_unique<Ejector>(
        // A copy: QCoro moves from an lvalue handed to co_return, which left later scans empty.
        Ejector::Platform{client, [report = m_report](ScanTarget) -> QCoro::Task<BlockerReport> { co_return BlockerReport(*report); },
                          std::make_shared<PretendProcesses>()},
        m_clock);
    m_preferences = std::make_unique<Preferences>(*m_settings);
    m_notifier = std::make_unique<Notifier>(*m_store, *m_drives, *m_preferences,
                                            std::make_shared<test::ScriptedNotificationServer>(), m_clock, LaunchEnvironment({}));
    m_updater = std::make_unique<Updater>(
        Updater::Configuration{QUrl(), m_dir.filePath(QStringLiteral("updates.conf")), QStringLiteral("0.1.0")}, m_clock);
    settle();
    m_controller = std::make_unique<StatusItemController>(*m_store, *m_drives, *m_ejector, *m_preferences, *m_notifier,
                                                          *m_updater, m_clock, LaunchEnvironment(environment));
    settle();
}

void PopoverWorld::settle()
{
    for (int i = 0; i < 6; ++i) {
        QCoreApplication::processEvents();
        QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
        QThread::msleep(2);
    }
}

void PopoverWorld::advance(int seconds)
{
    for (int i = 0; i < seconds; ++i) {
        m_clock.advance(1s);
        QCoreApplication::processEvents();
    }
}

const Drive* PopoverWorld::driveOf(const QString& mountPath) const
{
    for (const Volume& volume : m_store->volumes())
        if (volume.mountPath == mountPath)
            for (const Drive& drive : m_drives->drives())
                if (drive.volumeIDs.contains(volume.id))
                    return &drive;
    return nullptr;
}

} // namespace mallowby::bench
