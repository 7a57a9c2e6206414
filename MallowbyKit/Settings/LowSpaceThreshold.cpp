#include "Settings/LowSpaceThreshold.h"

#include <QStringList>
#include <QtNumeric>

#include <algorithm>
#include <limits>

namespace mallowby {

namespace {

constexpr qint64 bytesPerGigabyte = 1'000'000'000;

} // namespace

const QList<LowSpaceThreshold>& LowSpaceThreshold::presets()
{
    static const QList<LowSpaceThreshold> list{percent(5), percent(10), percent(20)};
    return list;
}

QString LowSpaceThreshold::rawValue() const
{
    const QString name = unit == Unit::gigabytes ? QStringLiteral("gigabytes") : QStringLiteral("percent");
    return name + QLatin1Char(':') + QString::number(amount);
}

std::optional<LowSpaceThreshold> LowSpaceThreshold::fromRawValue(const QString& text)
{
    const QStringList pieces = text.split(QLatin1Char(':'), Qt::SkipEmptyParts);
    if (pieces.size() != 2)
        return std::nullopt;
    // A plain optional sign and digits: no blanks, which toLongLong() would let through.
    for (const QChar c : pieces[1])
        if (c.isSpace())
            return std::nullopt;
    bool ok = false;
    const qint64 n = pieces[1].toLongLong(&ok, 10);
    if (!ok || n < 1)
        return std::nullopt;
    if (pieces[0] == QLatin1String("percent"))
        return percent(std::min<qint64>(n, 100));
    if (pieces[0] == QLatin1String("gigabytes"))
        return gigabytes(n);
    return std::nullopt;
}

QString LowSpaceThreshold::displayName() const
{
    return QString::number(amount) + (unit == Unit::gigabytes ? QStringLiteral(" GB") : QStringLiteral(" %"));
}

double LowSpaceThreshold::bytes(qint64 total) const
{
    if (unit == Unit::gigabytes)
        return double(amount) * double(bytesPerGigabyte);
    return double(total) * double(amount) / 100.0;
}

bool LowSpaceThreshold::isLow(const Space& space) const
{
    if (space.total < 1)
        return false;
    if (unit == Unit::gigabytes) {
        // Saturates: a threshold beyond what 64 bits hold is above every volume's free space.
        qint64 limit = 0;
        if (qMulOverflow(amount, bytesPerGigabyte, &limit))
            limit = amount < 0 ? std::numeric_limits<qint64>::min() : std::numeric_limits<qint64>::max();
        return space.available < limit;
    }
    return double(space.total) * double(amount) / 100.0 > double(space.available);
}

bool LowSpaceThreshold::isClearOf(const Space& space) const
{
    if (space.total < 1)
        return true;
    return double(space.available) >= releaseFactor * bytes(space.total);
}

} // namespace mallowby
