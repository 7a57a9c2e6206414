#pragma once

#include <QList>
#include <QString>

#include <optional>

namespace mallowby {

// Which powers sizes and rates are shown in: decimal (1000, GB) or binary (1024, GiB).
class ByteUnits {
public:
    enum Value : quint8 { decimal, binary };

    constexpr ByteUnits(Value value = decimal) : m_value(value) {}
    constexpr operator Value() const { return m_value; }

    static const QList<ByteUnits>& allCases();

    QString rawValue() const;
    static std::optional<ByteUnits> fromRawValue(const QString& text);
    QString displayName() const;

    double base() const { return m_value == binary ? 1024.0 : 1000.0; }

private:
    Value m_value;
};

} // namespace mallowby
