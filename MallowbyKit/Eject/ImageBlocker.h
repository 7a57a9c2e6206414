#pragma once

#include <QString>

namespace mallowby {

// A disk image attached from an image file (a loop device and its backing file).
struct ImageBlocker {
    QString imagePath;
    QString bsdName;  // the whole disk the attached image provides, e.g. "loop3"

    bool operator==(const ImageBlocker&) const = default;
};

} // namespace mallowby
