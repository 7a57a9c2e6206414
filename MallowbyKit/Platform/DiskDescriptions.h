#pragma once

#include "Platform/DiskDescription.h"

#include <QString>

#include <optional>

namespace mallowby {

// Looks up the description of a device by its name below /dev ("sdb1", "mapper/luks-…").
// Must not block: implementations read only kernel and device-manager state, never a volume.
class DiskDescriptions {
public:
    virtual ~DiskDescriptions() = default;
    virtual std::optional<DiskDescription> describe(const QString& bsdName) const = 0;
};

} // namespace mallowby
