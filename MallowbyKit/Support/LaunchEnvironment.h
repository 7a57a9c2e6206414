#pragma once

#include <QHash>
#include <QString>

#include <optional>

namespace mallowby {

// The process environment, copied once on first use and never read again.
class LaunchEnvironment {
public:
    static const LaunchEnvironment& shared();

    explicit LaunchEnvironment(QHash<QString, QString> values);

    bool contains(const QString& key) const { return m_values.contains(key); }
    std::optional<QString> value(const QString& key) const;

    // Dump mode replaces the interactive application (no tray item).
    bool isDumpMode() const;

private:
    QHash<QString, QString> m_values;
};

} // namespace mallowby
