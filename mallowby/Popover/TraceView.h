#pragma once

#include "Popover/PopoverTheme.h"

#include <QList>
#include <QWidget>

#include <optional>

class QPainter;

namespace mallowby {

// A minute of rates as a filled line: `values` rise from the baseline; with a `mirror` the area is
// split, the values rising in the upper half and the mirror falling in the lower half from a
// shared middle baseline (reads up, writes down). Values are scaled by `scale` and cut at the edge.
class TraceView : public QWidget {
    Q_OBJECT
public:
    struct Series {
        QList<double> values;
        PopoverTheme::Tone color = PopoverTheme::Tone::accent;
        bool operator==(const Series&) const = default;
    };

    explicit TraceView(QWidget* parent = nullptr);

    // Repaints only when something changed.
    void set(const Series& values, double scale, const std::optional<Series>& mirror = std::nullopt);

    // Draws into `area`; what paintEvent does, for any painter.
    static void draw(QPainter& painter, const QRectF& area, const QPalette& palette, const Series& values, double scale,
                     const std::optional<Series>& mirror);

protected:
    void paintEvent(QPaintEvent* event) override;

private:
    Series m_values;
    double m_scale = 0;
    std::optional<Series> m_mirror;
};

} // namespace mallowby
