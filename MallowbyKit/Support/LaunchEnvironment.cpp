#include "Support/LaunchEnvironment.h"

#include <QProcessEnvironment>

namespace mallowby {

LaunchEnvironment::LaunchEnvironment(QHash<QString, QString> values) : m_values(std::move(values)) {}

const LaunchEnvironment& LaunchEnvironment::shared()
{
    static const LaunchEnvironment environment = [] {
        QHash<QString, QString> values;
        const auto system = QProcessEnvironment::systemEnvironment();
        for (const QString& key : system.keys())
            values.insert(key, system.value(key));
        return LaunchEnvironment(std::move(values));
    }();
    return environment;
}

std::optional<QString> LaunchEnvironment::value(const QString& key) const
{
    const auto it = m_values.constFind(key);
    if (it == m_values.constEnd())
        return std::nullopt;
    return *it;
}

bool LaunchEnvironment::isDumpMode() const
{
    return contains(QStringLiteral("MALLOWBY_DUMP_VOLUMES")) || contains(QStringLiteral("MALLOWBY_DUMP_RATES"));
}

} // namespace mallowby
