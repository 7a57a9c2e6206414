#pragma once

#include <QFont>
#include <QString>

namespace mallowby {

// Font measurements in points (one point per device-independent pixel), taken on an oversampled
// device so the font engine's rounding of pixel sizes (9.5 pt drawn at 10 px) does not distort them.
class PointMetrics {
public:
    explicit PointMetrics(const QFont& font) : m_font(font) {}

    double horizontalAdvance(const QString& text) const;
    double ascent() const;
    // Positive, below the baseline.
    double descent() const;
    double leading() const;

private:
    QFont m_font;
};

} // namespace mallowby
