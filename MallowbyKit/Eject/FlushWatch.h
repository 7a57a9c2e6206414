#pragma once

#include "Eject/FlushEstimate.h"
#include "Support/Clock.h"

#include <QMap>
#include <QObject>

#include <functional>
#include <map>
#include <memory>
#include <vector>

namespace mallowby {

class BlockDriver;
class BlockRegistry;
class Ejector;

// Follows every eject from the outside: from the start of a target's ejecting phase until its
// eject request answers, samples twice a second the data the kernel still has to write and the
// drive's own write counters (an NFS share's, for a share), and publishes a FlushEstimate per
// target. The estimate ends, with nothing left, when the eject answers; nothing else (a
// dismissed status, a vanished mount) ends it. It belongs to the ejector it follows (a child object), where the views find it. Main
// thread only.
class FlushWatch : public QObject {
    Q_OBJECT
public:
    struct Platform {
        std::shared_ptr<const BlockRegistry> registry;
        // Dirty plus Writeback of the whole system; none when unreadable.
        std::function<std::optional<quint64>()> pendingWrites;
        // Bytes a share mounted at the path has written to its server; none where not counted.
        std::function<std::optional<quint64>(const QString& mountPath)> shareBytesWritten;
    };

    struct Flush {
        QString targetID;
        QString name;
        FlushEstimate estimate;
    };

    static constexpr Clock::Duration sampleInterval = std::chrono::milliseconds(500);

    FlushWatch(Ejector& ejector, Platform platform, Clock& clock = Clock::system());
    ~FlushWatch() override;

    // The watch following this ejector; none when nobody follows it.
    static const FlushWatch* of(const Ejector& ejector);

    // The targets now ejecting, by target id.
    const QMap<QString, Flush>& flushes() const { return m_flushes; }
    const FlushEstimate* estimate(const QString& targetID) const;

signals:
    // After every sample, and when a flush starts or ends.
    void flushesChanged();
    // The ejecting phase of a target ended, with the target ejected or not; the estimate is finished.
    void flushEnded(const mallowby::FlushWatch::Flush& flush, bool ejected);

private:
    // Where a target's written bytes are counted: its drives, or the share's own statistics.
    struct Devices {
        std::vector<std::unique_ptr<BlockDriver>> drivers;
        bool complete = true;  // every member could be opened
        std::optional<QString> sharePath;
    };

    void statusesChanged();
    void ejectEnded(const QString& id, bool ejected);
    void sample();
    FlushEstimate::Sample read(const Devices& devices) const;

    Ejector& m_ejector;
    Platform m_platform;
    Clock& m_clock;
    QMap<QString, Flush> m_flushes;
    std::map<QString, Devices> m_devices;
    std::unique_ptr<Clock::Timer> m_timer;
};

} // namespace mallowby
