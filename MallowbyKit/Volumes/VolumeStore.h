#pragma once

#include "Platform/DiskDescription.h"
#include "Support/Clock.h"
#include "Volumes/SpaceReader.h"
#include "Volumes/Volume.h"

#include <QCoro/QCoroTask>
#include <QList>
#include <QObject>
#include <QPointer>
#include <QSet>

#include <functional>
#include <memory>
#include <vector>

namespace mallowby {

class ChangeSource;
class DiskDescriptions;
class MountTable;

// The observable, ordered list of mounted volumes with their capacity figures. Bursts of mount
// and device events fold into one rebuild on the next main-loop turn; capacity is read off the
// main thread with a time limit. Main thread only.
class VolumeStore : public QObject {
    Q_OBJECT
public:
    // One entry of the mount table.
    struct Mount {
        QString path;     // mount point
        QString source;   // "/dev/…" for devices, the share text for network mounts
        QString type;     // file-system type name
        bool isLocal = true;
        quint64 device = 0;  // the file system's device number (dev_t)
        bool isHidden = false;
        QString root = QStringLiteral("/");  // the directory of the file system mounted here (bind mounts, subvolumes)

        bool operator==(const Mount&) const = default;

        // The mount table in table order, hidden entries only when asked for.
        static QList<Mount> current(const MountTable& table, bool includeHidden);

        // The source without "/dev/", for device mounts. None for anything that is not a name below
        // /dev: an empty name, or one with an empty, "." or ".." component.
        std::optional<QString> bsdName() const;
        // The volume this mount is, without figures; its id is the volume UUID, else the source.
        Volume toVolume(const DiskDescription& description) const;
        // The ids of these volumes (parallel to `mounts`), unique in the list: a base id shared by
        // several mounts of one file system gets ":" and the mount's root where that is not "/",
        // then, while still shared, "@" and the mount point, then "#2", "#3", … in table order.
        static QStringList uniqueIDs(const QList<Mount>& mounts, const QStringList& baseIDs);
    };

    // The system facilities the store reads.
    struct Platform {
        std::shared_ptr<const MountTable> mountTable;
        std::shared_ptr<const DiskDescriptions> descriptions;
        // Opens the change sources; called by start().
        std::function<std::vector<std::unique_ptr<ChangeSource>>()> openChangeSources;
    };

    static constexpr auto refreshInterval = std::chrono::seconds(30);

    VolumeStore(SpaceReader reader, Platform platform, Clock& clock = Clock::system(), QObject* parent = nullptr);
    ~VolumeStore() override;

    const QList<Volume>& volumes() const { return m_volumes; }
    const Volume* volume(const QString& id) const;

    // Subscribes to changes and builds the list at once. A second call does nothing.
    void start();
    void stop();
    bool isStarted() const { return m_started; }

    // Starts a capacity read for one volume unless one is under way. Figures equal to the ones held
    // publish nothing.
    void refreshSpace(const QString& id);
    void refreshAll();
    // The 30-second refresh of every volume, on while figures are on show.
    void setRefreshing(bool on);
    bool isRefreshing() const { return m_refreshTimer != nullptr; }

    std::optional<DiskDescription> diskDescription(const QString& bsdName) const;

    // Rebuilds on the next main-loop turn; calls before then fold into that one rebuild.
    void scheduleRebuild();

signals:
    void volumesChanged();

private:
    void rebuild();
    void publish(QList<Volume> volumes);
    void applySpace(const QString& id, const QString& path, const std::optional<Space>& result, int attempt);
    static QCoro::Task<> readSpace(QPointer<VolumeStore> store, QString id, QString path, int attempt);

    QList<Volume> m_volumes;
    SpaceReader m_reader;
    Platform m_platform;
    Clock& m_clock;
    bool m_started = false;
    std::vector<std::unique_ptr<ChangeSource>> m_sources;
    bool m_rebuildScheduled = false;
    QSet<QString> m_reading;
    std::unique_ptr<Clock::Timer> m_refreshTimer;
};

} // namespace mallowby
