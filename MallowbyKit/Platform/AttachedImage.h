#pragma once

#include <QString>

namespace mallowby {

// A disk image file attached as a block device.
struct AttachedImage {
    QString imagePath;  // the image file
    QString bsdName;    // the whole disk it provides ("loop3")

    bool operator==(const AttachedImage&) const = default;
};

} // namespace mallowby
