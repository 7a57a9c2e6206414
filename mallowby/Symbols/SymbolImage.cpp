#include "Symbols/SymbolImage.h"

#include <QPainter>
#include <QPainterPath>
#include <QHash>
#include <QPointF>
#include <QPolygonF>

#include <array>
#include <cmath>

namespace mallowby {

namespace {

constexpr double designSize = 13;

QPen stroke(double width)
{
    return QPen(Qt::black, width, Qt::SolidLine, Qt::RoundCap, Qt::RoundJoin);
}

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

// A flat box with a slot on the left and a light on the right, as a disk inside the case.
void drawInternalDrive(QPainter& painter)
{
    painter.setPen(QPen(Qt::black, 1.0));
    painter.setBrush(Qt::NoBrush);
    painter.drawRoundedRect(QRectF(1.5, 3.5, 17, 8), 2, 2);
    painter.fillRect(QRectF(4, 7, 6, 1), Qt::black);
    painter.fillRect(QRectF(14, 7, 2, 1), Qt::black);
}

// A card with its top left corner cut off and three contacts along the top edge.
void drawSdCard(QPainter& painter)
{
    painter.setPen(QPen(Qt::black, 1.0, Qt::SolidLine, Qt::FlatCap, Qt::RoundJoin));
    painter.setBrush(Qt::NoBrush);
    const std::array<QPointF, 5> outline{QPointF(5.5, 1.5), QPointF(12.5, 1.5), QPointF(12.5, 14.5),
                                         QPointF(2.5, 14.5), QPointF(2.5, 4.5)};
    painter.drawPolygon(outline.data(), int(outline.size()));
    for (double x : {6.0, 8.0, 10.0})
        painter.fillRect(QRectF(x, 3, 1, 3), Qt::black);
}

void drawEject(QPainter& painter)
{
    painter.setPen(Qt::NoPen);
    painter.setBrush(Qt::black);
    const std::array<QPointF, 3> triangle{QPointF(7, 1.5), QPointF(12.5, 8), QPointF(1.5, 8)};
    painter.drawPolygon(triangle.data(), int(triangle.size()));
    painter.drawRect(QRectF(1.5, 10, 11, 2));
}

void drawCircle(QPainter& painter)
{
    painter.setPen(QPen(Qt::black, 1.0));
    painter.setBrush(Qt::NoBrush);
    painter.drawEllipse(QPointF(7, 7), 6, 6);
}

void drawEllipsisCircle(QPainter& painter)
{
    drawCircle(painter);
    painter.setPen(Qt::NoPen);
    painter.setBrush(Qt::black);
    for (double x : {4.0, 7.0, 10.0})
        painter.drawEllipse(QPointF(x, 7), 0.9, 0.9);
}

// Eight teeth around a ring with a round hole.
void drawGear(QPainter& painter)
{
    const QPointF centre(7, 7);
    painter.setPen(Qt::NoPen);
    painter.setBrush(Qt::black);
    painter.drawEllipse(centre, 4.6, 4.6);
    for (int i = 0; i < 8; ++i) {
        painter.save();
        painter.translate(centre);
        painter.rotate(i * 45.0);
        painter.drawRect(QRectF(-1.1, -6.5, 2.2, 3));
        painter.restore();
    }
    painter.setCompositionMode(QPainter::CompositionMode_Clear);
    painter.drawEllipse(centre, 2, 2);
    painter.setCompositionMode(QPainter::CompositionMode_SourceOver);
}

void drawChevron(QPainter& painter, bool right)
{
    painter.setPen(stroke(1.5));
    painter.setBrush(Qt::NoBrush);
    const double tip = right ? 6.5 : 1.5;
    const double back = right ? 2.5 : 5.5;
    const std::array<QPointF, 3> line{QPointF(back, 2), QPointF(tip, 7), QPointF(back, 12)};
    painter.drawPolyline(line.data(), int(line.size()));
}

void drawXmark(QPainter& painter)
{
    painter.setPen(stroke(1.5));
    painter.drawLine(QPointF(2, 2), QPointF(10, 10));
    painter.drawLine(QPointF(10, 2), QPointF(2, 10));
}

void drawArrowDownCircle(QPainter& painter)
{
    drawCircle(painter);
    painter.setPen(stroke(1.2));
    painter.drawLine(QPointF(7, 3.5), QPointF(7, 10));
    const std::array<QPointF, 3> head{QPointF(4.5, 7.5), QPointF(7, 10), QPointF(9.5, 7.5)};
    painter.drawPolyline(head.data(), int(head.size()));
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
    static const QHash<QString, Shape> shapes{
        {QStringLiteral("externaldrive"), Shape::drive},
        {QStringLiteral("externaldrive.badge.exclamationmark"), Shape::driveWithBadge},
        {QStringLiteral("internaldrive"), Shape::internalDrive},
        {QStringLiteral("sdcard"), Shape::sdCard},
        {QStringLiteral("eject"), Shape::eject},
        {QStringLiteral("ellipsis.circle"), Shape::ellipsisCircle},
        {QStringLiteral("gearshape"), Shape::gear},
        {QStringLiteral("chevron.right"), Shape::chevronRight},
        {QStringLiteral("chevron.left"), Shape::chevronLeft},
        {QStringLiteral("xmark"), Shape::xmark},
        {QStringLiteral("arrow.down.circle"), Shape::arrowDownCircle},
        {QStringLiteral("terminal"), Shape::terminal},
        {QStringLiteral("diskimage"), Shape::diskImage},
    };
    const auto it = shapes.constFind(name);
    if (!(pointSize > 0) || it == shapes.constEnd())
        return std::nullopt;
    return SymbolImage(name, *it, pointSize);
}

QSizeF SymbolImage::size() const
{
    const double k = m_pointSize / designSize;
    switch (m_shape) {
    case Shape::drive:
    case Shape::internalDrive:
        return QSizeF(20 * k, 14 * k);
    case Shape::driveWithBadge:
        // One point larger on every side, so the drive sits at the same place in both when each
        // is centred in the same slot.
        return QSizeF(22 * k, 16 * k);
    case Shape::sdCard:
        return QSizeF(15 * k, 16 * k);
    case Shape::chevronRight:
    case Shape::chevronLeft:
        return QSizeF(8 * k, 14 * k);
    case Shape::xmark:
        return QSizeF(12 * k, 12 * k);
    case Shape::terminal:
        return QSizeF(18 * k, 14 * k);
    case Shape::diskImage:
        return QSizeF(14 * k, 16 * k);
    default:
        return QSizeF(14 * k, 14 * k);
    }
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
    case Shape::internalDrive:
        drawInternalDrive(painter);
        break;
    case Shape::sdCard:
        drawSdCard(painter);
        break;
    case Shape::eject:
        drawEject(painter);
        break;
    case Shape::ellipsisCircle:
        drawEllipsisCircle(painter);
        break;
    case Shape::gear:
        drawGear(painter);
        break;
    case Shape::chevronRight:
    case Shape::chevronLeft:
        drawChevron(painter, m_shape == Shape::chevronRight);
        break;
    case Shape::xmark:
        drawXmark(painter);
        break;
    case Shape::arrowDownCircle:
        drawArrowDownCircle(painter);
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
