#pragma once

#include "Popover/Controls/PopoverTheme.h"

#include <QImage>
#include <QList>
#include <QWidget>

#include <optional>

class QPainter;

namespace mallowby {

// A minute of rates as a filled line: `values` rise from the baseline; with a `mirror` the area is
// split, the values rising in the upper half and the mirror falling in the lower half from a
// shared middle baseline (reads up, writes down). Values are scaled by `scale` and cut at the edge.
//
// The picture is kept in an image: a sample that shifts the series by one shifts the image by one
// step and draws only the newest segment. The whole is drawn again on a resize, a palette or pixel
// ratio change, or when the scale leaves the band in which the highest value lies within one pixel
// of the edge (so a slowly rising peak does not redraw the trace at every sample).
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

    // Draws into `area`; the whole picture, for any painter.
    static void draw(QPainter& painter, const QRectF& area, const QPalette& palette, const Series& values, double scale,
                     const std::optional<Series>& mirror);

    // The scale drawn: within the band in which the highest value lies within a pixel of the edge.
    double drawnScale() const { return m_scale; }
    // How often the whole picture was drawn (the rest were single steps).
    qint64 wholeDraws() const { return m_wholeDraws; }

protected:
    void paintEvent(QPaintEvent* event) override;
    void changeEvent(QEvent* event) override;
    void resizeEvent(QResizeEvent* event) override;

private:
    bool shiftedByOne(const Series& values, const std::optional<Series>& mirror) const;
    double scaleFor(double scale) const;
    void drawWhole();
    void drawStep();

    Series m_values;
    double m_given = 0;  // the scale asked for
    double m_scale = 0;  // the scale drawn, near the one given
    std::optional<Series> m_mirror;

    QImage m_image;       // the picture; null when it must be drawn whole
    double m_offset = 0;  // device pixels the kept picture lies right of its exact place (|offset| <= 0.5)
    qint64 m_wholeDraws = 0;
};

} // namespace mallowby
