#pragma once

#include <QImage>

#include <algorithm>

namespace mallowby::test {

// Pixels of either picture with a channel outside the range that channel spans over the 3×3
// pixels around the same place in the other (widened by `tolerance`): how far two pictures are
// from being the same within one pixel. A line drawn a fraction of a pixel away passes.
inline qsizetype pixelsBeyondOne(const QImage& first, const QImage& second, int tolerance)
{
    const QImage a = first.convertToFormat(QImage::Format_ARGB32), b = second.convertToFormat(QImage::Format_ARGB32);
    if (a.size() != b.size())
        return qsizetype(a.width()) * a.height() + 1;
    qsizetype count = 0;
    for (const auto& [from, in] : {std::pair{&a, &b}, std::pair{&b, &a}})
        for (int y = 0; y < from->height(); ++y)
            for (int x = 0; x < from->width(); ++x)
                for (int shift = 0; shift < 32; shift += 8) {  // each channel
                    int low = 255, high = 0;
                    for (int v = std::max(0, y - 1); v <= std::min(in->height() - 1, y + 1); ++v)
                        for (int u = std::max(0, x - 1); u <= std::min(in->width() - 1, x + 1); ++u) {
                            low = std::min(low, int(in->pixel(u, v) >> shift) & 0xff);
                            high = std::max(high, int(in->pixel(u, v) >> shift) & 0xff);
                        }
                    const int value = int(from->pixel(x, y) >> shift) & 0xff;
                    if (value < low - tolerance || value > high + tolerance) {
                        ++count;
                        break;
                    }
                }
    return count;
}

} // namespace mallowby::test
