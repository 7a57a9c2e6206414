#pragma once

#include <QtGlobal>

#include <algorithm>

namespace mallowby {

// Capacity figures of one volume, in bytes.
struct Space {
    qint64 total = 0;
    qint64 available = 0;        // includes space the system can free on demand
    qint64 availableStrict = 0;  // free right now
    bool isStale = false;        // the latest read failed; these figures are from an earlier one

    qint64 used() const { return std::max<qint64>(0, total - available); }
    double usedFraction() const { return total < 1 ? 0.0 : double(used()) / double(total); }

    bool operator==(const Space&) const = default;
};

} // namespace mallowby
