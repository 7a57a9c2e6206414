#pragma once

#include <QSizeF>
#include <QString>

#include <optional>

class QPainter;
class QPointF;

namespace mallowby {

// The program's own small vector symbols, named like the desktop symbol sets: "externaldrive",
// "externaldrive.badge.exclamationmark", "internaldrive", "sdcard", "eject", "ellipsis.circle",
// "gearshape", "chevron.right", "chevron.left", "xmark", "arrow.down.circle", "terminal" and
// "diskimage" (a disk image file). Designed at
// 13 pt on a half-point grid so one-point strokes stay crisp at whole scales.
class SymbolImage {
public:
    // None for a name the set does not have.
    static std::optional<SymbolImage> named(const QString& name, double pointSize = 13);

    QString name() const { return m_name; }
    // Size in points.
    QSizeF size() const;
    // Draws the symbol in opaque black with its top left corner at `origin` (points of the
    // painter's coordinate system), clearing the pixels its cut-outs cover.
    void draw(QPainter& painter, const QPointF& origin) const;

private:
    enum class Shape {
        drive,
        driveWithBadge,
        internalDrive,
        sdCard,
        eject,
        ellipsisCircle,
        gear,
        chevronRight,
        chevronLeft,
        xmark,
        arrowDownCircle,
        terminal,
        diskImage
    };
    SymbolImage(const QString& name, Shape shape, double pointSize) : m_name(name), m_shape(shape), m_pointSize(pointSize) {}

    QString m_name;
    Shape m_shape;
    double m_pointSize;
};

} // namespace mallowby
