#include "Symbols/SymbolImage.h"

#include <QPainter>
#include <QPainterPath>
#include <QPointF>
#include <QPolygonF>

namespace mallowby {

namespace {

constexpr double designSize = 13;

// The drive, in design points: a rounded box split into a top and a bottom band, with an activity
// light in the bottom band.
void drawDrive(QPainter& painter, const QPointF& at)
{
    painter.setPen(QPen(Qt::black, 1.0, Qt::SolidLine, Qt::FlatCap, Qt::MiterJoin));
    painter.setBrush(Qt::NoBrush);
    painter.drawRoundedRect(QRectF(at.x() + 1.5, at.y() + 1.5, 17, 11), 3, 3);
    painter.drawLine(QPointF(at.x() + 2, at.y() + 8.5), QPointF(at.x() + 18, at.y() + 8.5));
    painter.fillRect(QRectF(at.x() + 13, at.y() + 10, 3, 1), Qt::black);
}

// A filled disc with an exclamation mark cut out, set off from what lies below by a cleared ring.
void drawBadge(QPainter& painter, const QPointF& centre)
{
    painter.setPen(Qt::NoPen);
    painter.setCompositionMode(QPainter::CompositionMode_Clear);
    painter.setBrush(Qt::black);
    painter.drawEllipse(centre, 5.75, 5.75);
    painter.setCompositionMode(QPainter::CompositionMode_SourceOver);
    painter.drawEllipse(centre, 4.5, 4.5);
    painter.setCompositionMode(QPainter::CompositionMode_Clear);
    painter.drawRect(QRectF(centre.x() - 0.5, centre.y() - 3, 1, 3.5));
    painter.drawRect(QRectF(centre.x() - 0.5, centre.y() + 1.5, 1, 1));
}

// A terminal window: a frame with a title bar and a prompt.
void drawTerminal(QPainter& painter)
{
    painter.setPen(QPen(Qt::black, 1.0, Qt::SolidLine, Qt::FlatCap, Qt::RoundJoin));
    painter.setBrush(Qt::NoBrush);
    painter.drawRoundedRect(QRectF(0.5, 0.5, 17, 13), 2.5, 2.5);
    painter.fillRect(QRectF(1, 1, 16, 2.5), Qt::black);
    painter.drawPolyline(QPolygonF({QPointF(3.5, 6), QPointF(6, 8.25), QPointF(3.5, 10.5)}));
    painter.drawLine(QPointF(7.5, 10.5), QPointF(11.5, 10.5));
}

// A disk image: a sheet with a folded corner and a disc on it.
void drawDiskImage(QPainter& painter)
{
    painter.setPen(QPen(Qt::black, 1.0, Qt::SolidLine, Qt::FlatCap, Qt::RoundJoin));
    painter.setBrush(Qt::NoBrush);
    painter.drawPolygon(QPolygonF({QPointF(0.5, 0.5), QPointF(9.5, 0.5), QPointF(13.5, 4.5), QPointF(13.5, 15.5), QPointF(0.5, 15.5)}));
    painter.drawPolyline(QPolygonF({QPointF(9.5, 0.5), QPointF(9.5, 4.5), QPointF(13.5, 4.5)}));
    painter.drawEllipse(QPointF(7, 10), 3.5, 3.5);
    painter.setBrush(Qt::black);
    painter.drawEllipse(QPointF(7, 10), 0.75, 0.75);
}

} // namespace

std::optional<SymbolImage> SymbolImage::named(const QString& name, double pointSize)
{
    if (!(pointSize > 0))
        return std::nullopt;
    if (name == QLatin1String("externaldrive"))
        return SymbolImage(name, Shape::drive, pointSize);
    if (name == QLatin1String("externaldrive.badge.exclamationmark"))
        return SymbolImage(name, Shape::driveWithBadge, pointSize);
    if (name == QLatin1String("terminal"))
        return SymbolImage(name, Shape::terminal, pointSize);
    if (name == QLatin1String("diskimage"))
        return SymbolImage(name, Shape::diskImage, pointSize);
    return std::nullopt;
}

QSizeF SymbolImage::size() const
{
    const double k = m_pointSize / designSize;
    // The badged form is one point larger on every side, so the drive sits at the same place in
    // both when each is centred in the same slot.
    switch (m_shape) {
    case Shape::drive: return QSizeF(20 * k, 14 * k);
    case Shape::driveWithBadge: return QSizeF(22 * k, 16 * k);
    case Shape::terminal: return QSizeF(18 * k, 14 * k);
    case Shape::diskImage: return QSizeF(14 * k, 16 * k);
    }
    return {};
}

void SymbolImage::draw(QPainter& painter, const QPointF& origin) const
{
    painter.save();
    painter.translate(origin);
    painter.scale(m_pointSize / designSize, m_pointSize / designSize);
    painter.setRenderHint(QPainter::Antialiasing);
    switch (m_shape) {
    case Shape::drive:
        drawDrive(painter, QPointF(0, 0));
        break;
    case Shape::driveWithBadge:
        drawDrive(painter, QPointF(1, 1));
        drawBadge(painter, QPointF(17.5, 4.5));
        break;
    case Shape::terminal:
        drawTerminal(painter);
        break;
    case Shape::diskImage:
        drawDiskImage(painter);
        break;
    }
    painter.restore();
}

} // namespace mallowby
