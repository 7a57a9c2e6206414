#include "Support/LaunchEnvironment.h"

#include "Support/FilePath.h"

#include <unistd.h>

namespace mallowby {

LaunchEnvironment::LaunchEnvironment(QHash<QString, QString> values) : m_values(std::move(values)) {}

const LaunchEnvironment& LaunchEnvironment::shared()
{
    static const LaunchEnvironment environment = [] {
        // Values may be paths: read as bytes, so one that is not UTF-8 keeps them.
        QHash<QString, QString> values;
        for (char** entry = environ; entry && *entry; ++entry) {
            const QByteArrayView text(*entry);
            if (const qsizetype equals = text.indexOf('='); equals > 0)
                values.insert(FilePath::decode(text.first(equals)), FilePath::decode(text.sliced(equals + 1)));
        }
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
