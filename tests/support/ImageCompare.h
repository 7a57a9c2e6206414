#pragma once

#include <QImage>

#include <algorithm>
#include <cstdlib>

namespace mallowby::test {

// Pixels of `a` that no pixel of `b` within one pixel (the 3×3 around it) matches within
// `tolerance` on every channel, and the other way round: how far two pictures are from being the
// same within one pixel.
inline qsizetype pixelsBeyondOne(const QImage& first, const QImage& second, int tolerance)
{
    const QImage a = first.convertToFormat(QImage::Format_ARGB32);
    const QImage b = second.convertToFormat(QImage::Format_ARGB32);
    if (a.size() != b.size())
        return qsizetype(a.width()) * a.height() + 1;
    const auto close = [&](QRgb p, QRgb q) {
        return std::abs(qRed(p) - qRed(q)) <= tolerance && std::abs(qGreen(p) - qGreen(q)) <= tolerance
               && std::abs(qBlue(p) - qBlue(q)) <= tolerance && std::abs(qAlpha(p) - qAlpha(q)) <= tolerance;
    };
    const auto unmatched = [&](const QImage& from, const QImage& in) {
        qsizetype count = 0;
        for (int y = 0; y < from.height(); ++y)
            for (int x = 0; x < from.width(); ++x) {
                bool found = false;
                for (int dy = -1; dy <= 1 && !found; ++dy)
                    for (int dx = -1; dx <= 1 && !found; ++dx) {
                        const int u = x + dx, v = y + dy;
                        found = u >= 0 && v >= 0 && u < in.width() && v < in.height()
                                && close(from.pixel(x, y), in.pixel(u, v));
                    }
                count += found ? 0 : 1;
            }
        return count;
    };
    return unmatched(a, b) + unmatched(b, a);
}

} // namespace mallowby::test
