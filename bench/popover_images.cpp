// Writes the drive and network cards while an eject writes out cached data, and a drive card
// whose eject was refused with its blockers panel and each of the panel's questions, as PNG
// files at scale 2: popover_images DIRECTORY. For a person to look at.

#include "AccessibleTree.h"
#include "Popover/DriveCard.h"
#include "Popover/NetworkCard.h"
#include "Popover/PopoverTheme.h"
#include "Popover/PopoverWindow.h"

#include "Drives/BlockDriver.h"
#include "Eject/DiskArbitrationClient.h"
#include "Eject/Ejector.h"
#include "Eject/FlushWatch.h"
#include "Platform/BlockRegistry.h"
#include "Platform/DiskService.h"
#include "Platform/MountTable.h"
#include "Platform/ProcessControl.h"
#include "Settings/Preferences.h"
#include "Support/OneShot.h"

#include <QApplication>
#include <QDir>
#include <QEventLoop>
#include <QSettings>
#include <QTemporaryDir>
#include <QTimer>
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
        return {VolumeStore::Mount{QStringLiteral("/mnt/nas"), QStringLiteral("nas:/media"), QStringLiteral("nfs4"), false, 0, false}};
    }
    QList<BlockDevice> members(const QString&) const override { return {}; }
    QStringList wholeMediaBelow(const QString&) const override { return {}; }
    std::optional<QString> wholeDisk(const QString& name) const override { return name; }
    std::unique_ptr<BlockDriver> open(const BlockDevice& device) const override
    {
        struct Driver final : BlockDriver {
            const Stuck& owner;
            Driver(const BlockDevice& device, const Stuck& owner) : BlockDriver(device), owner(owner) {}
            std::optional<IOCounters> counters() override { return IOCounters{0, owner.written}; }
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

// A stick that udisks reports busy until forced.
class Busy final : public DiskService, public MountTable, public BlockRegistry {
public:
    QCoro::Task<std::optional<Dissent>> unmountDisk(QString, bool force) override
    {
        co_return force ? std::nullopt : std::optional(Dissent{Dissent::busy, std::nullopt});
    }
    QCoro::Task<std::optional<Dissent>> ejectDisk(QString) override { co_return std::nullopt; }
    QCoro::Task<std::optional<Dissent>> unmountShare(VolumeStore::Mount, bool) override { co_return std::nullopt; }
    QList<VolumeStore::Mount> read() const override
    {
        return {VolumeStore::Mount{QStringLiteral("/run/media/me/STICK"), QStringLiteral("/dev/sdc1"), QStringLiteral("vfat"), true, 0x821, false}};
    }
    QList<BlockDevice> members(const QString&) const override { return {BlockDevice{8, QStringLiteral("sdc")}}; }
    QStringList wholeMediaBelow(const QString&) const override { return {}; }
    std::optional<QString> wholeDisk(const QString&) const override { return QStringLiteral("sdc"); }
    std::unique_ptr<BlockDriver> open(const BlockDevice&) const override { return nullptr; }
    QList<AttachedImage> attachedImages() const override { return {}; }
};

// Made-up processes that never end and take every signal without anything real receiving it.
class Pretend final : public ProcessControl {
public:
    std::unique_ptr<Watch> watchExit(qint32, std::optional<quint64>, std::function<void()>) override
    {
        return std::make_unique<Watch>();
    }
    bool isGone(qint32, std::optional<quint64>) const override { return false; }
    bool signal(qint32, std::optional<quint64>, int) override { return true; }
};

// An editor with a file open, one of its helpers using the drive three ways, and an installer
// image attached from a file on it.
BlockerReport holders()
{
    const OwningApp editor{4100, QStringLiteral("Text Editor"), QStringLiteral("org.gnome.TextEditor"), std::nullopt, std::nullopt};
    Blocker app{4100, QStringLiteral("gnome-text-editor"), std::nullopt, editor, true,
                {{Blocker::Reason::openFile, QStringLiteral("/run/media/me/STICK/notes/todo.txt")}}};
    Blocker helper{4120, QStringLiteral("gvfsd-metadata"), std::nullopt, editor, false,
                   {{Blocker::Reason::workingDirectory, QStringLiteral("/run/media/me/STICK")},
                    {Blocker::Reason::openFile, QStringLiteral("/run/media/me/STICK/.metadata/home-a1b2c3d4.log")},
                    {Blocker::Reason::mappedFile, QStringLiteral("/run/media/me/STICK/.metadata/home")}}};
    BlockerReport report;
    report.blockers = {app, helper};
    report.images = {ImageBlocker{QStringLiteral("/run/media/me/STICK/isos/debian-12.5.0-amd64-netinst.iso"), QStringLiteral("loop3")}};
    return report;
}

// Presses controls of a card by their accessible names, as a screen reader would.
void press(QWidget& card, const QStringList& names)
{
    QWidget frame;
    frame.setFixedWidth(PopoverWindow::fixedWidth);
    auto* column = new QVBoxLayout(&frame);
    card.setParent(&frame);
    column->addWidget(&card);
    frame.show();
    for (const QString& name : names) {
        if (AccessibleTree({&frame}).press(name) != AccessibleTree::Press::pressed)
            std::fprintf(stderr, "popover_images: could not press %s\n", qPrintable(name));
        QEventLoop wait;  // a press lands after the button's short animation
        QTimer::singleShot(150, &wait, &QEventLoop::quit);
        wait.exec();
    }
    card.setParent(nullptr);
}

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
    Ejector ejector({std::make_shared<DiskArbitrationClient>(DiskArbitrationClient::Platform{stuck, stuck, stuck}),
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
    drive.members = {BlockDevice{7, QStringLiteral("sdb")}};
    drive.readRate = 0;
    drive.writeRate = 28e6;
    Volume volume;
    volume.id = QStringLiteral("T7");
    volume.name = QStringLiteral("T7");
    volume.mountPath = QStringLiteral("/run/media/me/T7");
    volume.kind = VolumeKind::external;
    volume.format = QStringLiteral("exfat");
    volume.space = Space{1000'000'000'000, 412'000'000'000, 412'000'000'000, false};
    drive.volumeIDs = {volume.id};
    Volume share;
    share.id = QStringLiteral("nas:/media");
    share.name = QStringLiteral("media");
    share.mountPath = QStringLiteral("/mnt/nas");
    share.kind = VolumeKind::network;
    share.format = QStringLiteral("nfs4");
    share.space = Space{4000'000'000'000, 1200'000'000'000, 1200'000'000'000, false};

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
    bool ok = save(driveCard, out + QStringLiteral("/drive-card-flushing.png"))
              && save(networkCard, out + QStringLiteral("/network-card-flushing.png"));

    // A refused eject: the card with its blockers panel, then each question the panel asks.
    auto busy = std::make_shared<Busy>();
    Ejector refusing({std::make_shared<DiskArbitrationClient>(DiskArbitrationClient::Platform{busy, busy, busy}),
                      [](ScanTarget) -> QCoro::Task<BlockerReport> { co_return holders(); }, std::make_shared<Pretend>()},
                     clock);
    Drive stick;
    stick.id = QStringLiteral("8");
    stick.name = QStringLiteral("SanDisk Ultra");
    stick.deviceProtocol = QStringLiteral("USB");
    stick.kind = VolumeKind::external;
    stick.members = {BlockDevice{8, QStringLiteral("sdc")}};
    stick.readRate = 0;
    stick.writeRate = 0;
    Volume stickVolume = volume;
    stickVolume.id = stickVolume.name = QStringLiteral("STICK");
    stickVolume.mountPath = QStringLiteral("/run/media/me/STICK");
    stickVolume.space = Space{64'000'000'000, 23'500'000'000, 23'500'000'000, false};
    stick.volumeIDs = {stickVolume.id};
    [](Ejector& e, EjectTarget t) -> QCoro::Task<> { co_await e.eject(t, false); }(refusing, EjectTarget::fromDrive(stick));
    QApplication::processEvents();
    DriveCard refused(refusing, preferences, true);
    refused.present(stick, {stickVolume});
    press(refused, {QStringLiteral("2 more")});
    ok = ok && save(refused, out + QStringLiteral("/blockers-failed.png"));
    press(refused, {QStringLiteral("force eject…")});
    ok = ok && save(refused, out + QStringLiteral("/blockers-confirm-force.png"));
    press(refused, {QStringLiteral("cancel"), QStringLiteral("Terminate Text Editor, pid 4120…")});
    ok = ok && save(refused, out + QStringLiteral("/blockers-confirm-terminate.png"));
    press(refused, {QStringLiteral("terminate")});
    ok = ok && save(refused, out + QStringLiteral("/blockers-confirm-kill.png"));
    return ok ? 0 : 1;
}
