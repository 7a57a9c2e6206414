// Writes the drive and network cards while an eject writes out cached data, as PNG files at
// scale 2: flush_images DIRECTORY. For a person to look at.

#include "Popover/Cards/DriveCard.h"
#include "Popover/Cards/NetworkCard.h"
#include "Popover/Controls/PopoverTheme.h"
#include "Popover/PopoverWindow.h"

#include "Drives/BlockDriver.h"
#include "Eject/DiskArbitrationClient.h"
#include "Eject/Ejector.h"
#include "Eject/FlushWatch.h"
#include "Platform/BlockRegistry.h"
#include "Platform/DiskService.h"
#include "Platform/MountTable.h"
#include "Settings/Preferences.h"
#include "Support/OneShot.h"

#include <QApplication>
#include <QDir>
#include <QSettings>
#include <QTemporaryDir>
#include <QVBoxLayout>

#include <cstdio>
#include <map>

using namespace mallowby;

namespace {

constexpr quint64 MB = 1'000'000;

// Time moves when the program says so; every timer fires on each tick.
class ScriptedClock final : public Clock {
public:
    TimePoint now() const override { return m_now; }
    std::unique_ptr<Timer> schedule(Duration, std::optional<Duration>, std::function<void()> fire) override
    {
        const int id = m_next++;
        m_timers[id] = std::move(fire);
        struct Handle final : Timer {
            std::map<int, std::function<void()>>& timers;
            int id;
            Handle(std::map<int, std::function<void()>>& timers, int id) : timers(timers), id(id) {}
            ~Handle() override { timers.erase(id); }
        };
        return std::make_unique<Handle>(m_timers, id);
    }
    void tick(Duration by)
    {
        m_now += by;
        for (auto& [id, fire] : std::map(m_timers))
            fire();
    }

private:
    TimePoint m_now{std::chrono::hours(1)};
    int m_next = 0;
    std::map<int, std::function<void()>> m_timers;
};

// A drive whose unmount never returns, and shares mounted where asked.
class Stuck final : public DiskService, public MountTable, public BlockRegistry {
public:
    quint64 written = 0;

    QCoro::Task<std::optional<Dissent>> unmountDisk(QString, bool) override { return never(); }
    QCoro::Task<std::optional<Dissent>> ejectDisk(QString) override { return never(); }
    QCoro::Task<std::optional<Dissent>> unmountShare(VolumeStore::Mount, bool) override { return never(); }
    QList<VolumeStore::Mount> read() const override
    {
        return {VolumeStore::Mount{.path = QStringLiteral("/mnt/nas"), .source = QStringLiteral("nas:/media"), .type = QStringLiteral("nfs4"), .isLocal = false}};
    }
    QList<BlockDevice> members(const QString&) const override { return {}; }
    QStringList wholeMediaBelow(const QString&) const override { return {}; }
    std::optional<QString> wholeDisk(const QString& name) const override { return name; }
    std::unique_ptr<BlockDriver> open(const BlockDevice& device) const override
    {
        struct Driver final : BlockDriver {
            const Stuck& owner;
            Driver(const BlockDevice& device, const Stuck& owner) : BlockDriver(device), owner(owner) {}
            std::optional<IOCounters> counters() override { return IOCounters{.bytesWritten = owner.written}; }
        };
        return std::make_unique<Driver>(device, *this);
    }
    QList<AttachedImage> attachedImages() const override { return {}; }

private:
    QCoro::Task<std::optional<Dissent>> never()
    {
        const auto gate = OneShot<std::optional<Dissent>>::make();
        m_gates.append(gate);
        co_return co_await *gate;
    }
    QList<std::shared_ptr<OneShot<std::optional<Dissent>>>> m_gates;
};

bool save(QWidget& card, const QString& path)
{
    QWidget frame;
    frame.setFixedWidth(PopoverWindow::fixedWidth);
    frame.setFont(PopoverTheme::font(PopoverTheme::Font::body));
    PopoverTheme::setAccent(&frame, Accent());
    auto* column = new QVBoxLayout(&frame);
    column->setContentsMargins(10, 10, 10, 10);
    card.setParent(&frame);
    column->addWidget(&card);
    frame.adjustSize();
    frame.show();
    QApplication::processEvents();
    QPixmap image(frame.size() * 2);
    image.setDevicePixelRatio(2);
    image.fill(frame.palette().color(QPalette::Window));
    frame.render(&image, {}, {}, QWidget::DrawChildren);
    card.setParent(nullptr);
    const bool saved = image.save(path);
    std::printf("%s %s\n", saved ? "wrote" : "could not write", qPrintable(path));
    return saved;
}

} // namespace

int main(int argc, char** argv)
{
    QApplication app(argc, argv);
    if (argc != 2) {
        std::fprintf(stderr, "usage: popover_images DIRECTORY\n");
        return 2;
    }
    const QString out = QString::fromLocal8Bit(argv[1]);
    QDir().mkpath(out);

    QTemporaryDir dir;
    QSettings settings(dir.filePath(QStringLiteral("mallowby.conf")), QSettings::IniFormat);
    Preferences preferences(settings);
    ScriptedClock clock;
    auto stuck = std::make_shared<Stuck>();
    quint64 pending = 600 * MB;
    Ejector ejector({std::make_shared<DiskArbitrationClient>(DiskArbitrationClient::Platform{.mountTable = stuck, .registry = stuck, .disks = stuck}),
                     [](ScanTarget) -> QCoro::Task<BlockerReport> { co_return BlockerReport{}; }, nullptr},
                    clock);
    new FlushWatch(ejector,
                   {stuck, [&pending] { return std::optional(pending); },
                    [&stuck](const QString&) { return std::optional(stuck->written); }},
                   clock);

    Drive drive;
    drive.id = QStringLiteral("7");
    drive.name = QStringLiteral("Samsung T7");
    drive.deviceProtocol = QStringLiteral("USB");
    drive.kind = VolumeKind::external;
    drive.members = {BlockDevice{.driverID = 7, .bsdName = QStringLiteral("sdb")}};
    drive.readRate = 0;
    drive.writeRate = 28e6;
    Volume volume;
    volume.id = QStringLiteral("T7");
    volume.name = QStringLiteral("T7");
    volume.mountPath = QStringLiteral("/run/media/me/T7");
    volume.kind = VolumeKind::external;
    volume.format = QStringLiteral("exfat");
    volume.space = Space{.total = 1000'000'000'000, .available = 412'000'000'000, .availableStrict = 412'000'000'000};
    drive.volumeIDs = {volume.id};
    Volume share;
    share.id = QStringLiteral("nas:/media");
    share.name = QStringLiteral("media");
    share.mountPath = QStringLiteral("/mnt/nas");
    share.kind = VolumeKind::network;
    share.format = QStringLiteral("nfs4");
    share.space = Space{.total = 4000'000'000'000, .available = 1200'000'000'000, .availableStrict = 1200'000'000'000};

    [](Ejector& e, EjectTarget t) -> QCoro::Task<> { co_await e.eject(t, false); }(ejector, EjectTarget::fromDrive(drive));
    [](Ejector& e, EjectTarget t) -> QCoro::Task<> { co_await e.eject(t, false); }(ejector, EjectTarget::fromNetworkVolume(share));
    // Four seconds of writing at 28 MB/s, out of 600 MB.
    for (int i = 0; i < 8; ++i) {
        stuck->written += 14 * MB;
        pending -= 14 * MB;
        clock.tick(std::chrono::milliseconds(500));
    }

    DriveCard driveCard(ejector, preferences, true);
    driveCard.present(drive, {volume});
    NetworkCard networkCard(ejector, preferences);
    networkCard.present({share});
    const bool ok = save(driveCard, out + QStringLiteral("/drive-card-flushing.png"))
                    && save(networkCard, out + QStringLiteral("/network-card-flushing.png"));
    return ok ? 0 : 1;
}
