#include "Volumes/VolumeKind.h"

namespace mallowby {

const QList<VolumeKind>& VolumeKind::allCases()
{
    static const QList<VolumeKind> cases{external, diskImage, network, internal};
    return cases;
}

QString VolumeKind::rawValue() const
{
    switch (m_value) {
    case external: return QStringLiteral("external");
    case diskImage: return QStringLiteral("diskImage");
    case network: return QStringLiteral("network");
    case internal: return QStringLiteral("internal");
    }
    return QStringLiteral("internal");
}

std::optional<VolumeKind> VolumeKind::fromRawValue(const QString& text)
{
    for (VolumeKind kind : allCases())
        if (kind.rawValue() == text)
            return kind;
    return std::nullopt;
}

VolumeKind VolumeKind::classify(bool isLocal, bool isBoot, const std::optional<QString>& deviceModel,
                                std::optional<bool> deviceInternal, std::optional<bool> mediaRemovable)
{
    if (!isLocal)
        return network;
    if (deviceModel == QStringLiteral("Disk Image"))
        return diskImage;
    if (isBoot)
        return internal;
    if (deviceInternal == false)
        return external;
    if (mediaRemovable == true)
        return external;
    return internal;
}

} // namespace mallowby
