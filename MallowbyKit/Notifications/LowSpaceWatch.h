#pragma once

#include "Settings/LowSpaceThreshold.h"
#include "Volumes/Volume.h"

#include <QHash>
#include <QList>
#include <QString>

#include <optional>

namespace mallowby {

// Tells which volumes have just become low on space, once per fall: a volume flagged low stays
// low until its free space climbs back to 1.1 times the threshold. A volume's first fresh figures
// only set its flag, so nothing is announced at launch, on mounting or after a threshold change.
struct LowSpaceWatch {
    QHash<QString, bool> low;  // by volume id, for volumes seen with fresh figures
    std::optional<LowSpaceThreshold> threshold;  // what the flags were computed with

    bool operator==(const LowSpaceWatch&) const = default;

    // The volumes that became low in this pass, in list order. Volumes no longer listed are
    // forgotten; stale or missing figures keep a volume's flag as it was.
    QList<Volume> evaluate(const QList<Volume>& volumes, const LowSpaceThreshold& newThreshold);
};

} // namespace mallowby
