#pragma once

#include "Popover/Cards/Card.h"

#include "Drives/Drive.h"
#include "Eject/Ejector.h"
#include "Eject/FlushEstimate.h"
#include "Settings/LowSpaceThreshold.h"
#include "Settings/ByteUnits.h"
#include "Volumes/Volume.h"

class QLabel;

namespace mallowby {

class DriveIcon;
class EjectStatusView;
class KeyedStack;
class PopoverButton;
class Preferences;
class Rate;
class TraceView;

// One physical drive: its symbol, name and kind, eject and "Who's Using This?" when ejectable,
// "Ejecting…" while it ejects, the blockers panel while the ejector holds a status for it, live
// rates with a minute of history and the session's byte counts, and one row per volume. Updated
// in place by present(); highlighted while its last eject failed.
class DriveCard : public Card {
    Q_OBJECT
public:
    DriveCard(Ejector& ejector, const Preferences& preferences, bool ejectable, QWidget* parent = nullptr);

    void present(const Drive& drive, const QList<Volume>& volumes);

    // "USB · RAID of 2 · 1 volume".
    static QString subtitle(const Drive& drive, qsizetype volumeCount);
    // The activity section as one sentence: "Reading 1.2 MB/s…, session R 4 GB W 0 B".
    static QString activityLabel(const Drive& drive, ByteUnits units);

private:
    void presentActivity(const Drive& drive);
    void eject();
    void inspect();

    // Everything the card shows; a present() of the same is skipped (an idle drive's sample).
    struct Presented {
        Drive drive;
        QList<Volume> volumes;
        std::optional<Ejector::Status> status;
        std::optional<FlushEstimate> flush;  // what an eject still writes out
        ByteUnits units;
        LowSpaceThreshold threshold;
        bool operator==(const Presented&) const = default;
    };

    Ejector& m_ejector;
    const Preferences& m_preferences;
    bool m_ejectable;
    Drive m_drive;
    std::optional<Presented> m_presented;

    DriveIcon* m_icon;
    QLabel* m_name;
    QLabel* m_subtitle;
    PopoverButton* m_more = nullptr;
    PopoverButton* m_eject = nullptr;
    EjectStatusView* m_status = nullptr;
    QWidget* m_activity;
    Rate* m_read;
    Rate* m_write;
    TraceView* m_trace;
    Rate* m_sessionRead;
    Rate* m_sessionWritten;
    QLabel* m_noStatistics;
    QWidget* m_divider;
    KeyedStack* m_rows;
};

} // namespace mallowby
