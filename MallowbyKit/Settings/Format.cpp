#include "Settings/Format.h"

#include <algorithm>
#include <cmath>
#include <optional>

namespace mallowby::Format {

namespace {

constexpr double nextUnitFrom = 999.5;

std::optional<qint64> rounded(double v)
{
    if (!std::isfinite(v))
        return std::nullopt;
    const double r = std::round(v);
    // 2^63 is exact in a double; anything from there on does not fit.
    if (r >= 9223372036854775808.0 || r < -9223372036854775808.0)
        return std::nullopt;
    return qint64(r);
}

// Callers pass finite amounts only; anything else gets a sign of infinity rather than garbage.
QString unrepresentable(double v)
{
    if (std::isnan(v))
        return QStringLiteral("0");
    return v < 0 ? QStringLiteral("-∞") : QStringLiteral("∞");
}

QString integerText(double v)
{
    const std::optional<qint64> n = rounded(v);
    return n ? QString::number(*n) : unrepresentable(v);
}

// Not-a-number counts as nothing, like a negative amount.
double clampedAmount(double v)
{
    return std::isnan(v) ? 0.0 : std::max(v, 0.0);
}

} // namespace

const QStringList& labels(Ladder ladder)
{
    static const QStringList decimal{"B", "KB", "MB", "GB", "TB", "PB"};
    static const QStringList binary{"B", "KiB", "MiB", "GiB", "TiB", "PiB"};
    static const QStringList shortBytes{"B", "KB", "MB", "GB", "TB"};
    static const QStringList compact{"B", "K", "M", "G", "T", "P"};
    static const QStringList spoken{"bytes", "kilobytes", "megabytes", "gigabytes", "terabytes", "petabytes"};
    switch (ladder) {
    case Ladder::decimalBytes: return decimal;
    case Ladder::binaryBytes: return binary;
    case Ladder::shortBytes: return shortBytes;
    case Ladder::compact: return compact;
    case Ladder::spoken: return spoken;
    }
    return decimal;
}

QString oneDecimal(double value)
{
    const std::optional<qint64> tenths = rounded(value * 10.0);
    if (!tenths)
        return std::isnan(value) ? QStringLiteral("0.0") : unrepresentable(value);
    // Digits of the magnitude, so a negative value reads "-1.5" and not "-1.-5".
    const quint64 magnitude = *tenths < 0 ? 0 - quint64(*tenths) : quint64(*tenths);
    const QString text = QString::number(magnitude / 10) + QLatin1Char('.') + QString::number(magnitude % 10);
    return *tenths < 0 ? QLatin1Char('-') + text : text;
}

std::pair<QString, QString> scaled(double value, const QStringList& ladder, double base)
{
    const QString first = ladder.value(0);
    double v = std::isnan(value) ? 0.0 : value;
    if (v < nextUnitFrom || ladder.size() < 2)
        return {integerText(v), first};
    qsizetype index = 1;
    for (;;) {
        v /= base;
        if (v < nextUnitFrom || index >= ladder.size() - 1)
            break;
        ++index;
    }
    const QString number = v < 99.95 ? oneDecimal(v) : integerText(v);
    return {number, ladder.value(index)};
}

QString percent(double fraction)
{
    const qint64 p = fraction < 1.0 ? rounded(std::max(fraction, 0.0) * 100.0).value_or(0) : 100;
    return QString::number(p) + QLatin1Char('%');
}

QString bytes(qint64 count, ByteUnits units)
{
    const Ladder ladder = units == ByteUnits::binary ? Ladder::binaryBytes : Ladder::decimalBytes;
    const auto [number, unit] = scaled(double(std::max<qint64>(count, 0)), labels(ladder), units.base());
    return number + QLatin1Char(' ') + unit;
}

QString rate(double bytesPerSecond, ByteUnits units)
{
    const Ladder ladder = units == ByteUnits::binary ? Ladder::binaryBytes : Ladder::decimalBytes;
    const auto [number, unit] = scaled(clampedAmount(bytesPerSecond), labels(ladder), units.base());
    return number + QLatin1Char(' ') + unit + QStringLiteral("/s");
}

QString compact(double value, ByteUnits units)
{
    const QStringList& ladder = labels(Ladder::compact);
    if (!(value >= 0.5))
        return QStringLiteral("0");
    double v = value;
    qsizetype index = 0;
    while (v >= nextUnitFrom && index < ladder.size() - 1) {
        v /= units.base();
        ++index;
    }
    const QString number = index >= 1 && v < 9.95 ? oneDecimal(v) : integerText(v);
    return number + ladder[index];
}

QString spoken(double value, ByteUnits units, bool perSecond)
{
    const auto [number, word] = scaled(clampedAmount(value), labels(Ladder::spoken), units.base());
    QString text = number + QLatin1Char(' ') + word;
    if (perSecond)
        text += QStringLiteral(" per second");
    return text;
}

QString decimalBytes(quint64 count)
{
    const auto [number, unit] = scaled(double(count), labels(Ladder::shortBytes), 1000.0);
    return number + QLatin1Char(' ') + unit;
}

} // namespace mallowby::Format
