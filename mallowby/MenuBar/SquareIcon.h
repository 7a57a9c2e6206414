#pragma once

#include <QColor>
#include <QImage>

#include <optional>

namespace mallowby {

// The tray item's face for panels with a square slot: the drive glyph filling the cell, the pinned
// volume's used share as a bar along its foot (orange when low) and, while the drive transfers, a
// read mark and a write mark lit at its top corners. Drawn for each pixel size, never scaled.
class SquareIcon {
public:
    struct State {
        std::optional<double> used;  // share of the pinned volume in use, 0...1
        bool low = false;
        bool reading = false;
        bool writing = false;
        bool operator==(const State&) const = default;
    };

    struct Colors {
        QColor ink;
        QColor accent;
        QColor write;
        bool operator==(const Colors&) const = default;
    };

    // Sizes offered to the panel, pixels.
    static constexpr int sizes[] = {16, 22, 24, 32, 48, 64};

    // `pixels` square, premultiplied ARGB.
    static QImage render(const State& state, int pixels, const Colors& colors);
    // Ink for a panel: white on a dark one, near-black on a light one.
    static QColor ink(bool darkPanel);
};

} // namespace mallowby
