#pragma once

#include "Eject/FlushWatch.h"
#include "Support/Clock.h"

#include <QHash>
#include <QObject>

namespace mallowby {

class Notifier;
class Preferences;

// The notices of an eject that writes out cached data: "Writing data to NAME" once it has been
// writing for more than 1.5 seconds, replaced in place as the figure changes (at most once a
// second), then "NAME can be unplugged" when that eject succeeds, or taken down when it fails.
// New notices follow the transfer-finished switch; one already shown is always concluded.
class FlushNotices : public QObject {
    Q_OBJECT
public:
    static constexpr Clock::Duration writingDelay = std::chrono::milliseconds(1500);
    static constexpr Clock::Duration replaceInterval = std::chrono::seconds(1);

    FlushNotices(FlushWatch& watch, Notifier& notifier, Preferences& preferences, Clock& clock = Clock::system(),
                 QObject* parent = nullptr);

    static QString identifier(const QString& targetID) { return QStringLiteral("flush-") + targetID; }
    // "Don't unplug it until this finishes. 340 MB left, about 12 s."
    static QString writingBody(const FlushEstimate& estimate, ByteUnits units);

private:
    struct Shown {
        QString body;
        Clock::TimePoint at;
    };

    void update();
    void ended(const FlushWatch::Flush& flush, bool ejected);

    FlushWatch& m_watch;
    Notifier& m_notifier;
    Preferences& m_preferences;
    Clock& m_clock;
    QHash<QString, Shown> m_shown;  // by target id
};

} // namespace mallowby
