#include "Settings/ByteUnits.h"

namespace mallowby {

const QList<ByteUnits>& ByteUnits::allCases()
{
    static const QList<ByteUnits> cases{decimal, binary};
    return cases;
}

QString ByteUnits::rawValue() const
{
    return m_value == binary ? QStringLiteral("binary") : QStringLiteral("decimal");
}

std::optional<ByteUnits> ByteUnits::fromRawValue(const QString& text)
{
    for (ByteUnits units : allCases())
        if (units.rawValue() == text)
            return units;
    return std::nullopt;
}

QString ByteUnits::displayName() const
{
    return m_value == binary ? QStringLiteral("Binary (GiB)") : QStringLiteral("Decimal (GB)");
}

} // namespace mallowby
