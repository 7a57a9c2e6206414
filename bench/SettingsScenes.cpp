#include "SettingsScenes.h"

#include "LoginItem.h"
#include "Popover/PopoverWindow.h"
#include "Popover/SettingsPage/SettingsView.h"
#include "Updates/Updater.h"

#include "Drives/DriveMonitor.h"
#include "Notifications/Notifier.h"
#include "Platform/DiskDescriptions.h"
#include "Platform/Linux/LinuxBlockRegistry.h"
#include "Platform/MountTable.h"
#include "Settings/Preferences.h"
#include "Support/LaunchEnvironment.h"
#include "Volumes/VolumeStore.h"

#include <QApplication>
#include <QDir>
#include <QSettings>
#include <QStyle>
#include <QStyleFactory>
#include <QTemporaryDir>
#include <QVBoxLayout>

#include <cstdio>

namespace mallowby {

namespace {

constexpr qint64 GB = 1'000'000'000;

class SceneMounts final : public MountTable {
public:
    QList<VolumeStore::Mount> read() const override
    {
        return {{.path = QStringLiteral("/run/media/me/Backup"), .source = QStringLiteral("/dev/sdx1"), .type = QStringLiteral("ext4"), .device = 1},
                {.path = QStringLiteral("/"), .source = QStringLiteral("/dev/nvme9n1p2"), .type = QStringLiteral("ext4"), .device = 2}};
    }
};

// A USB disk labelled Backup; the rest is internal.
class SceneDescriptions final : public DiskDescriptions {
public:
    std::optional<DiskDescription> describe(const QString& name) const override
    {
        if (name == QStringLiteral("sdx1"))
            return DiskDescription{.volumeUUID = QStringLiteral("5E1F-0C2A"),
                                   .volumeName = QStringLiteral("Backup"),
                                   .fileSystemType = QStringLiteral("ext4"),
                                   .deviceModel = QStringLiteral("Samsung T7"),
                                   .deviceProtocol = QStringLiteral("USB"),
                                   .deviceInternal = false,
                                   .mediaRemovable = true};
        return DiskDescription{.fileSystemType = QStringLiteral("ext4"),
                               .deviceModel = QStringLiteral("WD Black"),
                               .deviceProtocol = QStringLiteral("NVMe"),
                               .deviceInternal = true,
                               .mediaRemovable = false};
    }
};

class SceneServer final : public NotificationServer {
public:
    explicit SceneServer(Authorization status) : m_status(status) {}
    QCoro::Task<Authorization> authorization() override { co_return m_status; }
    QCoro::Task<bool> requestAuthorization() override { co_return false; }
    void post(const Notice&) override {}
    std::optional<QStringList> settingsCommand() const override { return QStringList{QStringLiteral("true")}; }

private:
    Authorization m_status;
};

QPalette darkPalette()
{
    QPalette palette;
    palette.setColor(QPalette::Window, QColor(0x26, 0x26, 0x28));
    palette.setColor(QPalette::WindowText, QColor(0xEE, 0xEE, 0xEE));
    palette.setColor(QPalette::Base, QColor(0x1C, 0x1C, 0x1E));
    palette.setColor(QPalette::AlternateBase, QColor(0x2C, 0x2C, 0x2E));
    palette.setColor(QPalette::Text, QColor(0xEE, 0xEE, 0xEE));
    palette.setColor(QPalette::Button, QColor(0x3A, 0x3A, 0x3C));
    palette.setColor(QPalette::ButtonText, QColor(0xEE, 0xEE, 0xEE));
    palette.setColor(QPalette::Highlight, QColor(0x0A, 0x84, 0xFF));
    palette.setColor(QPalette::HighlightedText, Qt::white);
    palette.setColor(QPalette::Link, QColor(0x4D, 0xA3, 0xFF));
    return palette;
}

struct Scene {
    const char* name;
    QString settings;  // the settings file's [General] lines
    bool dark = false;
    NotificationServer::Authorization authorization = NotificationServer::Authorization::authorized;
};

bool render(const Scene& scene, const QDir& out)
{
    QTemporaryDir home;
    QApplication::setPalette(scene.dark ? darkPalette() : QApplication::style()->standardPalette());
    QSettings store(home.filePath(QStringLiteral("mallowby.conf")), QSettings::IniFormat);
    for (const QString& line : scene.settings.split(QLatin1Char('\n'), Qt::SkipEmptyParts))
        store.setValue(line.section(QLatin1Char('='), 0, 0), line.section(QLatin1Char('='), 1));
    Preferences preferences(store);

    VolumeStore volumes(SpaceReader{std::chrono::seconds(2),
                                    [](const QString& path) {
                                        return std::optional(path == QStringLiteral("/") ? Space{.total = 500 * GB, .available = 212 * GB, .availableStrict = 212 * GB}
                                                                                         : Space{.total = 2000 * GB, .available = 640 * GB, .availableStrict = 640 * GB});
                                    }},
                        VolumeStore::Platform{std::make_shared<SceneMounts>(), std::make_shared<SceneDescriptions>(), {}});
    volumes.start();
    DriveMonitor drives(volumes, DriveMonitor::Platform{std::make_shared<LinuxBlockRegistry>(Sysfs(home.path())), {}});
    Notifier notifier(volumes, drives, preferences, std::make_shared<SceneServer>(scene.authorization), Clock::system(),
                      LaunchEnvironment({}));
    notifier.start();
    Updater updater(Updater::Configuration{QUrl(), home.filePath(QStringLiteral("updates.conf")), QStringLiteral("0.1.0")});
    QCoreApplication::processEvents();

    // The page as the popover holds it: 340 wide with 14 of padding, on the window colour.
    QWidget frame;
    frame.setAutoFillBackground(true);
    frame.setFixedWidth(PopoverWindow::fixedWidth);
    auto* layout = new QVBoxLayout(&frame);
    layout->setContentsMargins(PopoverWindow::padding, PopoverWindow::padding, PopoverWindow::padding, PopoverWindow::padding);
    auto* page = new SettingsView(preferences, volumes, notifier, updater,
                                  LoginItem(home.filePath(QStringLiteral("autostart/mallowby.desktop")), QStringLiteral("mallowby")),
                                  [] {});
    layout->addWidget(page);
    frame.show();
    for (int i = 0; i < 20; ++i)
        QCoreApplication::processEvents();
    frame.adjustSize();
    const QString path = out.filePath(QStringLiteral("settings-%1.png").arg(QLatin1String(scene.name)));
    const bool saved = frame.grab().save(path, "PNG");
    std::printf("%s %s\n", saved ? "wrote" : "could not write", qPrintable(path));
    return saved;
}

} // namespace

bool writeSettingsScenes(const QString& directory)
{
    QApplication::setStyle(QStyleFactory::create(QStringLiteral("Fusion")));
    const QDir dir(directory);
    using Authorization = NotificationServer::Authorization;
    const Scene scenes[] = {
        {"light", QString()},
        {"dark", QStringLiteral("accent=cyan\nmenuBarStyle=spaceActivity"), true},
        {"gigabytes", QStringLiteral("lowSpaceThreshold=gigabytes:200\nunits=binary\naccent=amber")},
        {"notifications-denied", QStringLiteral("notifyLowSpace=true\naccent=magenta"), false, Authorization::denied},
    };
    bool ok = true;
    for (const Scene& scene : scenes)
        ok = render(scene, dir) && ok;
    return ok;
}

} // namespace mallowby
