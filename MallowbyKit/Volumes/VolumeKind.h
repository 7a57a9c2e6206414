#pragma once

#include <QHashFunctions>
#include <QList>
#include <QString>

#include <optional>

namespace mallowby {

// A volume's class. Ordered by declaration; the raw value is the stored and printed text.
class VolumeKind {
public:
    enum Value : quint8 { external, diskImage, network, internal };

    constexpr VolumeKind(Value value = internal) : m_value(value) {}
    constexpr operator Value() const { return m_value; }

    static const QList<VolumeKind>& allCases();

    QString rawValue() const;
    // Exactly the four raw values, case-sensitive; anything else gives none.
    static std::optional<VolumeKind> fromRawValue(const QString& text);

    // First matching rule wins: not local → network; model "Disk Image" → diskImage; boot →
    // internal; known not internal → external; removable media → external; else internal.
    static VolumeKind classify(bool isLocal, bool isBoot, const std::optional<QString>& deviceModel,
                               std::optional<bool> deviceInternal, std::optional<bool> mediaRemovable);

private:
    Value m_value;
};

inline size_t qHash(VolumeKind kind, size_t seed = 0) { return ::qHash(int(VolumeKind::Value(kind)), seed); }

} // namespace mallowby
