#pragma once

#include <QString>

#include <optional>

namespace mallowby {

// What the system knows about a block device and the file system on it.
struct DiskDescription {
    std::optional<QString> volumeUUID{};    // upper-case text
    std::optional<QString> volumeName{};    // file-system label
    std::optional<QString> fileSystemType;  // what the device holds ("ntfs", "exfat", …)
    std::optional<QString> deviceModel;     // "Disk Image" for a disk image
    std::optional<QString> deviceProtocol;  // "USB", "SATA", "NVMe", "Secure Digital", …
    std::optional<bool> deviceInternal;
    std::optional<bool> mediaRemovable;

    bool operator==(const DiskDescription&) const = default;
};

} // namespace mallowby
