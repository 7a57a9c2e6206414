#pragma once

#include "Volumes/Space.h"

#include <QHashFunctions>
#include <QList>
#include <QString>

#include <optional>

namespace mallowby {

// Where a volume counts as low on space: below a percentage of its capacity, or below a number of
// (decimal) gigabytes free. The text form ("percent:10", "gigabytes:50") is what is stored.
struct LowSpaceThreshold {
    enum class Unit : quint8 { percent, gigabytes };

    Unit unit = Unit::percent;
    qint64 amount = 10;

    static constexpr LowSpaceThreshold percent(qint64 p) { return {Unit::percent, p}; }
    static constexpr LowSpaceThreshold gigabytes(qint64 g) { return {Unit::gigabytes, g}; }

    // The choices the settings page offers: 5, 10 and 20 %.
    static const QList<LowSpaceThreshold>& presets();

    // Equal fields are equal text forms, so this is equality of the stored texts.
    bool operator==(const LowSpaceThreshold&) const = default;

    QString rawValue() const;
    // "percent:N" or "gigabytes:N" with N ≥ 1; percentages above 100 read as 100. Anything else
    // gives none.
    static std::optional<LowSpaceThreshold> fromRawValue(const QString& text);
    // "10 %", "50 GB".
    QString displayName() const;

    // The threshold in bytes for a volume of the given capacity.
    double bytes(qint64 total) const;
    // Low: available below the threshold. A volume without capacity is never low.
    bool isLow(const Space& space) const;
    // Clear of the release band: available at least 1.1 times the threshold.
    bool isClearOf(const Space& space) const;

    static constexpr double releaseFactor = 1.1;
};

inline size_t qHash(const LowSpaceThreshold& threshold, size_t seed = 0)
{
    return ::qHash(threshold.rawValue(), seed);
}

} // namespace mallowby
