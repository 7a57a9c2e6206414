#pragma once

#include "Volumes/Space.h"
#include "Volumes/VolumeKind.h"

#include <QString>

#include <optional>

namespace mallowby {

// One mounted file system.
struct Volume {
    QString id;  // volume UUID, else the mount source; unique in the list (see Mount::uniqueIDs)
    QString name;
    QString mountPath;
    std::optional<QString> bsdName;  // mount source without "/dev/", for device mounts
    VolumeKind kind;
    QString format;
    std::optional<QString> deviceProtocol;
    std::optional<QString> deviceModel;
    bool isBoot = false;
    std::optional<Space> space;  // absent until the first successful read

    bool operator==(const Volume&) const = default;

    // Display name of a file-system type: known names (macOS and Linux ones) get their usual
    // spelling, anything else is upper-cased. Case-sensitive.
    static QString formatName(const QString& type);

    // The list order: by kind, then by locale-lower-cased name. A strict weak order, for stable sorts.
    static bool precedes(const Volume& a, const Volume& b);
};

} // namespace mallowby
