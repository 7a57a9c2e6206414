#pragma once

#include "Settings/ByteUnits.h"
#include "Settings/LowSpaceThreshold.h"
#include "Volumes/Volume.h"

#include <QWidget>

class QLabel;

namespace mallowby {

class Preferences;
class UsageBar;

// One volume: its name with a "! low" badge, free space and a usage bar, or "reading…" before the
// first figures; stale figures in orange. The row speaks all of it as its accessible name.
class VolumeRow : public QWidget {
    Q_OBJECT
public:
    // `accessory` (optional) stands at the end of the first line; the row takes it over.
    VolumeRow(const Preferences& preferences, QWidget* accessory = nullptr, QWidget* parent = nullptr);

    void present(const Volume& volume);

    // Low by the threshold's plain rule; never without figures or with a total below 1.
    static bool isLow(const Volume& volume, const LowSpaceThreshold& threshold);
    static QString freeText(const Volume& volume, ByteUnits units);
    // "X used of Y", the space free without purging when it differs by more than a gigabyte, and
    // the stale note, joined by " · ".
    static QString helpText(const Volume& volume, ByteUnits units);
    static QString accessibleLabel(const Volume& volume, ByteUnits units, const LowSpaceThreshold& threshold);

private:
    // What the row shows; a present() of the same is skipped.
    struct Presented {
        Volume volume;
        ByteUnits units;
        LowSpaceThreshold threshold;
        bool operator==(const Presented&) const = default;
    };

    const Preferences& m_preferences;
    std::optional<Presented> m_presented;
    bool m_stale = false;  // the free text is orange
    QLabel* m_name;
    QLabel* m_badge;
    QLabel* m_free;
    UsageBar* m_bar;
};

} // namespace mallowby
