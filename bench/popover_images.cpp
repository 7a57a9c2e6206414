// Writes the popover in a series of scenes as PNG files, for a person to look at:
// popover_images DIRECTORY. Each scene builds its own made-up machine (no root needed); add a
// scene by adding an entry to scenes().

#include "PopoverWorld.h"
#include "SettingsScenes.h"

#include "AccessibleTree.h"

#include "MenuBar/StatusItemController.h"
#include "Popover/PopoverState.h"
#include "Popover/PopoverWindow.h"

#include <QApplication>
#include <QDir>
#include <QEventLoop>
#include <QPalette>
#include <QStyleFactory>
#include <QTimer>

#include <cmath>
#include <cstdio>
#include <functional>

using namespace mallowby;
using namespace mallowby::bench;

namespace {

constexpr qint64 GB = 1'000'000'000;

struct Scene {
    const char* name;
    std::function<void(PopoverWorld&)> play;  // builds the machine and opens the popover
};

void open(PopoverWorld& world, const std::optional<QString>& focus = std::nullopt)
{
    world.controller().showPopover(focus, false);
    world.settle();
}

void laptop(PopoverWorld& world)
{
    world.addFixture(QStringLiteral("nvme-internal"));
    world.mount(QStringLiteral("/"), QStringLiteral("/dev/nvme0n1p2"));
    world.setSpace(QStringLiteral("/"), {.total = 1000 * GB, .available = 412 * GB, .availableStrict = 380 * GB});
}

// A stick with two partitions: one nearly full, one half full; a copy to it swells and ebbs over
// a minute while a little is read.
void writingStick(PopoverWorld& world)
{
    laptop(world);
    world.addFixture(QStringLiteral("usb-disk"));
    world.mount(QStringLiteral("/run/media/me/STICK"), QStringLiteral("/dev/sdb1"), QStringLiteral("vfat"));
    world.mount(QStringLiteral("/run/media/me/PHOTOS"), QStringLiteral("/dev/sdb2"), QStringLiteral("exfat"));
    world.setSpace(QStringLiteral("/run/media/me/STICK"), {.total = 16 * GB, .available = 9 * GB, .availableStrict = 9 * GB});
    world.setSpace(QStringLiteral("/run/media/me/PHOTOS"), {.total = 48 * GB, .available = 27 * GB / 10, .availableStrict = 27 * GB / 10});
    world.start();
    open(world);
    IOCounters counters;
    for (int second = 0; second < 60; ++second) {
        const double t = second / 59.0;
        counters.bytesWritten += quint64(std::max(0.0, 42e6 * std::sin(t * M_PI) + 3e6 * std::sin(second)));
        counters.bytesRead += quint64(second > 40 ? 9e6 * (1 - t) * 3 : 1.5e6);
        world.setCounters(QStringLiteral("sdb"), counters);
        world.advance(1);
    }
    world.settle();
}

// A stick whose eject was refused: held by an app, a helper process of it, and a disk image
// attached from a file on it.
void ejectFailed(PopoverWorld& world)
{
    laptop(world);
    world.addFixture(QStringLiteral("usb-disk"));
    world.mount(QStringLiteral("/run/media/me/STICK"), QStringLiteral("/dev/sdb1"), QStringLiteral("vfat"));
    world.setSpace(QStringLiteral("/run/media/me/STICK"), {.total = 16 * GB, .available = 9 * GB, .availableStrict = 9 * GB});
    world.refuse(QStringLiteral("sdb"), Dissent{Dissent::busy, std::nullopt});
    BlockerReport report;
    report.blockers = {
        Blocker{.pid = 4100,
                .processName = QStringLiteral("gedit"),
                .app = OwningApp{.pid = 4100, .name = QStringLiteral("Text Editor")},
                .isAppProcess = true,
                .uses = {{.reason = Blocker::Reason::openFile, .path = QStringLiteral("/run/media/me/STICK/notes.txt")}}},
        Blocker{.pid = 4120,
                .processName = QStringLiteral("gvfsd-metadata"),
                .app = OwningApp{.pid = 4100, .name = QStringLiteral("Text Editor")},
                .uses = {{.reason = Blocker::Reason::workingDirectory, .path = QStringLiteral("/run/media/me/STICK")},
                         {.reason = Blocker::Reason::openFile, .path = QStringLiteral("/run/media/me/STICK/.meta")},
                         {.reason = Blocker::Reason::mappedFile, .path = QStringLiteral("/run/media/me/STICK/lib.so")}}}};
    report.images = {ImageBlocker{.imagePath = QStringLiteral("/run/media/me/STICK/debian.iso"), .bsdName = QStringLiteral("loop3")}};
    world.setReport(report);
    world.start();
    open(world);
    (void)world.ejector().eject(EjectTarget::fromDrive(*world.driveOf(QStringLiteral("/run/media/me/STICK"))), false);
    world.settle();
}

// The refused eject with the blockers panel's controls pressed by name, as a screen reader would.
void pressOnFailure(PopoverWorld& world, const QStringList& names)
{
    ejectFailed(world);
    for (const QString& name : names) {
        if (AccessibleTree({world.controller().popover()}).press(name) != AccessibleTree::Press::pressed)
            std::fprintf(stderr, "popover_images: could not press %s\n", qPrintable(name));
        QEventLoop wait;  // a press lands after the button's short animation
        QTimer::singleShot(150, &wait, &QEventLoop::quit);
        wait.exec();
        world.settle();
    }
}

QList<Scene> scenes()
{
    return {
        {"no-external", [](PopoverWorld& world) {
             laptop(world);
             world.start();
             open(world);
         }},
        {"internal-expanded", [](PopoverWorld& world) {
             laptop(world);
             world.start({{QStringLiteral("MALLOWBY_POPOVER"), QStringLiteral("internal")}});
             open(world);
         }},
        {"usb-writing", writingStick},
        {"raid", [](PopoverWorld& world) {
             world.addFixture(QStringLiteral("md-raid1-identical"));
             world.mount(QStringLiteral("/srv/mirror"), QStringLiteral("/dev/md0"));
             world.setSpace(QStringLiteral("/srv/mirror"), {.total = 4000 * GB, .available = 1830 * GB, .availableStrict = 1830 * GB});
             world.start({{QStringLiteral("MALLOWBY_POPOVER"), QStringLiteral("internal")}});
             open(world);
         }},
        {"loose-disk-image", [](PopoverWorld& world) {
             laptop(world);
             world.addLooseImage(QStringLiteral("loop9"));
             world.mount(QStringLiteral("/run/media/me/Installer"), QStringLiteral("/dev/loop9"), QStringLiteral("iso9660"));
             world.setSpace(QStringLiteral("/run/media/me/Installer"), {.total = 4 * GB, .available = 0, .availableStrict = 0});
             world.start();
             open(world);
         }},
        {"network-unmounting", [](PopoverWorld& world) {
             laptop(world);
             world.settings().setValue(QStringLiteral("volumesShown"),
                                       QStringList{"external", "diskImage", "internal", "network"});
             world.mount(QStringLiteral("/mnt/media"), QStringLiteral("//nas/media"), QStringLiteral("cifs"), false);
             world.mount(QStringLiteral("/mnt/backup"), QStringLiteral("nas:/export/backup"), QStringLiteral("nfs4"), false);
             world.setSpace(QStringLiteral("/mnt/media"), {.total = 8000 * GB, .available = 2100 * GB, .availableStrict = 2100 * GB});
             world.setSpace(QStringLiteral("/mnt/backup"), {.total = 4000 * GB, .available = 950 * GB, .availableStrict = 950 * GB, .isStale = true});
             world.hangShares();
             world.start();
             open(world);
             for (const Volume& volume : world.store().volumes())
                 if (volume.mountPath == QStringLiteral("/mnt/backup"))
                     (void)world.ejector().eject(EjectTarget::fromNetworkVolume(volume), false);
             world.settle();
         }},
        {"eject-failed", ejectFailed},
        {"confirm-force", [](PopoverWorld& world) { pressOnFailure(world, {QStringLiteral("force eject…")}); }},
        {"confirm-terminate",
         [](PopoverWorld& world) { pressOnFailure(world, {QStringLiteral("Terminate Text Editor, pid 4120…")}); }},
        {"confirm-kill", [](PopoverWorld& world) {
             pressOnFailure(world, {QStringLiteral("2 more"), QStringLiteral("Terminate Text Editor, pid 4120…"), QStringLiteral("terminate")});
         }},
        {"eject-all-summary", [](PopoverWorld& world) {
             laptop(world);
             world.addUsbDisk(QStringLiteral("sdd"), 1, QStringLiteral("Flash Disk"), 1);
             world.addUsbDisk(QStringLiteral("sde"), 2, QStringLiteral("Portable SSD"), 2);
             world.mount(QStringLiteral("/run/media/me/CAMERA"), QStringLiteral("/dev/sdd1"), QStringLiteral("exfat"));
             world.mount(QStringLiteral("/run/media/me/Archive"), QStringLiteral("/dev/sde1"));
             world.mount(QStringLiteral("/run/media/me/Scratch"), QStringLiteral("/dev/sde2"));
             world.setSpace(QStringLiteral("/run/media/me/CAMERA"), {.total = 64 * GB, .available = 51 * GB, .availableStrict = 51 * GB});
             world.setSpace(QStringLiteral("/run/media/me/Archive"), {.total = 1000 * GB, .available = 320 * GB, .availableStrict = 320 * GB});
             world.refuse(QStringLiteral("sde"), Dissent{Dissent::notPermitted, QStringLiteral("Not authorized")});
             world.start();
             world.controller().ejectAll(world.controller().externalTargets());
             world.settle();
         }},
        {"dark", [](PopoverWorld& world) {
             QPalette dark(QColor(0x2b, 0x2b, 0x2b), QColor(0x20, 0x20, 0x20));
             dark.setColor(QPalette::WindowText, QColor(0xee, 0xee, 0xee));
             dark.setColor(QPalette::Text, QColor(0xee, 0xee, 0xee));
             dark.setColor(QPalette::ButtonText, QColor(0xee, 0xee, 0xee));
             dark.setColor(QPalette::Base, QColor(0x1e, 0x1e, 0x1e));
             QApplication::setPalette(dark);
             writingStick(world);
         }},
    };
}

} // namespace

int main(int argc, char** argv)
{
    if (argc != 2) {
        std::fprintf(stderr, "usage: popover_images DIRECTORY\n");
        return 2;
    }
    if (!qEnvironmentVariableIsSet("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication app(argc, argv);
    app.setQuitOnLastWindowClosed(false);
    QCoreApplication::setApplicationVersion(QStringLiteral("0.1.0"));
    const QPalette light = QApplication::palette();
    const QDir dir(QString::fromLocal8Bit(argv[1]));
    if (!dir.mkpath(QStringLiteral("."))) {
        std::fprintf(stderr, "popover_images: cannot create %s\n", argv[1]);
        return 1;
    }
    int failures = 0;
    for (const Scene& scene : scenes()) {
        QApplication::setPalette(light);
        PopoverWorld world;
        scene.play(world);
        PopoverWindow* popover = world.controller().popover();
        const QString file = dir.filePath(QString::fromLatin1(scene.name) + QStringLiteral(".png"));
        if (!popover || !popover->grab().save(file)) {
            std::fprintf(stderr, "popover_images: %s: no popover to write\n", scene.name);
            ++failures;
            continue;
        }
        std::printf("%s\n", qPrintable(file));
    }
    QApplication::setPalette(light);
    if (!writeSettingsScenes(dir.path())) {
        std::fprintf(stderr, "popover_images: the settings page could not be written\n");
        ++failures;
    }
    return failures == 0 ? 0 : 1;
}
