#include "Popover/Blockers/AppIcon.h"

#include "Platform/Linux/DesktopEntry.h"
#include "Platform/Linux/LinuxMountTable.h"

#include <QCoreApplication>
#include <QDir>
#include <QFileInfo>
#include <QHash>
#include <QImage>
#include <QLocale>
#include <QPixmap>
#include <QPointer>
#include <QTimer>

#include <thread>

namespace mallowby {

namespace {

// An icon file's read: under way, given up, or done.
struct FileRead {
    bool pending = true;
    QImage image;
    QList<std::pair<QPointer<const QObject>, std::function<void()>>> waiting;
};

QHash<QString, FileRead>& reads()
{
    static QHash<QString, FileRead> all;
    return all;
}

void finish(const QString& path, const QImage& image)
{
    auto it = reads().find(path);
    if (it == reads().end() || !it->pending)
        return;  // given up already
    it->pending = false;
    it->image = image;
    for (const auto& [context, ready] : std::exchange(it->waiting, {}))
        if (context)
            ready();
}

bool isWithin(const QString& path, const QString& root)
{
    return root == QLatin1String("/") || path == root || path.startsWith(root + QLatin1Char('/'));
}

// Whether the file lies on a mount that one of the blocker's uses lies on.
bool onHeldMount(const QString& file, const Blocker& blocker)
{
    const QList<VolumeStore::Mount> mounts = LinuxMountTable().read();
    const auto mountOf = [&](const QString& path) {
        QString best;
        for (const auto& mount : mounts)
            if (isWithin(path, mount.path) && mount.path.size() > best.size())
                best = mount.path;
        return best;
    };
    const QString fileMount = mountOf(file);
    return std::any_of(blocker.uses.cbegin(), blocker.uses.cend(), [&](const Blocker::Use& use) { return mountOf(use.path) == fileMount; });
}

std::optional<QIcon> themed(const QString& name)
{
    const QIcon icon = QIcon::fromTheme(name);
    if (icon.isNull() || (icon.availableSizes().isEmpty() && icon.name().isEmpty()))
        return std::nullopt;
    return icon;
}

} // namespace

std::optional<QIcon> AppIcon::of(const Blocker& blocker, const QObject* context, std::function<void()> ready)
{
    if (!blocker.app || !blocker.app->bundlePath)
        return std::nullopt;
    const QString desktopFile = *blocker.app->bundlePath;
    // Desktop entries lie in the XDG data folders, never on the drive being ejected.
    static QHash<QString, std::optional<QString>> iconNames;
    auto name = iconNames.find(desktopFile);
    if (name == iconNames.end()) {
        const auto entry = DesktopEntry::load(desktopFile, QLocale().name());
        name = iconNames.insert(desktopFile, entry ? entry->icon : std::nullopt);
    }
    if (!*name || (*name)->isEmpty())
        return std::nullopt;
    const QString icon = **name;
    if (!QDir::isAbsolutePath(icon))
        return themed(icon);

    const auto fallback = themed(QFileInfo(icon).completeBaseName());
    if (onHeldMount(icon, blocker))
        return fallback;
    auto read = reads().find(icon);
    if (read == reads().end()) {
        read = reads().insert(icon, FileRead{});
        std::thread([icon] {
            const QImage image(icon);
            if (auto* app = QCoreApplication::instance())
                QMetaObject::invokeMethod(app, [icon, image] { finish(icon, image); }, Qt::QueuedConnection);
        }).detach();
        QTimer::singleShot(readLimit, QCoreApplication::instance(), [icon] { finish(icon, QImage()); });
    }
    if (read->pending) {
        read->waiting.append({QPointer<const QObject>(context), std::move(ready)});
        return fallback;
    }
    if (read->image.isNull())
        return fallback;
    return QIcon(QPixmap::fromImage(read->image));
}

} // namespace mallowby
