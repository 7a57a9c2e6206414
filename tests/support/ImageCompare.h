#pragma once

#include <QImage>

#include <algorithm>

namespace mallowby::test {

// Pixels of `first` whose every channel lies outside the range the 3×3 pixels around the same
// place in `second` span (widened by `tolerance`), and the other way round: how far two pictures
// are from being the same within one pixel. A line drawn a fraction of a pixel away passes.
inline qsizetype pixelsBeyondOne(const QImage& first, const QImage& second, int tolerance)
{
    const QImage a = first.convertToFormat(QImage::Format_ARGB32);
    const QImage b = second.convertToFormat(QImage::Format_ARGB32);
    if (a.size() != b.size())
        return qsizetype(a.width()) * a.height() + 1;
    const auto unmatched = [&](const QImage& from, const QImage& in) {
        qsizetype count = 0;
        for (int y = 0; y < from.height(); ++y)
            for (int x = 0; x < from.width(); ++x) {
                const QRgb p = from.pixel(x, y);
                const int value[4] = {qRed(p), qGreen(p), qBlue(p), qAlpha(p)};
                int low[4] = {255, 255, 255, 255}, high[4] = {0, 0, 0, 0};
                for (int v = std::max(0, y - 1); v <= std::min(in.height() - 1, y + 1); ++v)
                    for (int u = std::max(0, x - 1); u <= std::min(in.width() - 1, x + 1); ++u) {
                        const QRgb q = in.pixel(u, v);
                        const int other[4] = {qRed(q), qGreen(q), qBlue(q), qAlpha(q)};
                        for (int c = 0; c < 4; ++c) {
                            low[c] = std::min(low[c], other[c]);
                            high[c] = std::max(high[c], other[c]);
                        }
                    }
                bool inside = true;
                for (int c = 0; c < 4; ++c)
                    inside = inside && value[c] >= low[c] - tolerance && value[c] <= high[c] + tolerance;
                count += inside ? 0 : 1;
            }
        return count;
    };
    return unmatched(a, b) + unmatched(b, a);
}

} // namespace mallowby::test
