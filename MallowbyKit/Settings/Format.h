#pragma once

#include "Settings/ByteUnits.h"

#include <QString>
#include <QStringList>

#include <utility>

namespace mallowby {

// Short texts for sizes, rates and fractions. Pure functions, callable from any thread.
// Numbers are rounded half away from zero and printed without grouping.
namespace Format {

// Unit labels, index 0 being the unscaled unit.
enum class Ladder { decimalBytes, binaryBytes, shortBytes, compact, spoken };
const QStringList& labels(Ladder ladder);

// "46%"; 100% from 1.0 up (and for not-a-number), 0% for negatives.
QString percent(double fraction);
// "1.5 GB", "1.4 GiB"; negative counts read as 0.
QString bytes(qint64 count, ByteUnits units);
// "12.3 MB/s"; negative rates read as 0.
QString rate(double bytesPerSecond, ByteUnits units);
// For the narrow menu bar: "1.5M", "12G", "512B", "0". One decimal only below 9.95.
QString compact(double value, ByteUnits units);
// For screen readers: "1.5 megabytes per second". Always the plural word.
QString spoken(double value, ByteUnits units, bool perSecond);
// Base 1000 up to terabytes, for the tooltip: "1.5 GB", "5000 TB".
QString decimalBytes(quint64 count);
// "12.3", "10.0" for 9.96.
QString oneDecimal(double value);
// The number text and unit label shared by bytes, rate, spoken and decimalBytes: whole numbers in
// the first unit, then one decimal below 99.95. A value steps up a unit from 999.5, whatever the
// base, so "1000 B" never shows; the last unit takes whatever is left ("1500 TB").
std::pair<QString, QString> scaled(double value, const QStringList& ladder, double base);

} // namespace Format

} // namespace mallowby
