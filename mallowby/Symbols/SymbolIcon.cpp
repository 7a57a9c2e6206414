#include "Symbols/SymbolIcon.h"

#include "Symbols/SymbolImage.h"

#include <QHash>
#include <QImage>
#include <QMimeDatabase>
#include <QPainter>

#include <cmath>

namespace mallowby {

QStringList SymbolIcon::themeNames(const QString& symbol)
{
    static const QHash<QString, QStringList> names{
        {QStringLiteral("externaldrive"),
         {QStringLiteral("drive-removable-media-usb"), QStringLiteral("drive-removable-media"), QStringLiteral("drive-harddisk")}},
        {QStringLiteral("internaldrive"), {QStringLiteral("drive-harddisk")}},
        {QStringLiteral("sdcard"), {QStringLiteral("media-flash-sd-mmc"), QStringLiteral("media-flash")}},
        {QStringLiteral("eject"), {QStringLiteral("media-eject")}},
        {QStringLiteral("ellipsis.circle"),
         {QStringLiteral("view-more-horizontal"), QStringLiteral("view-more"), QStringLiteral("open-menu")}},
        {QStringLiteral("gearshape"), {QStringLiteral("configure"), QStringLiteral("preferences-system")}},
        {QStringLiteral("chevron.right"), {QStringLiteral("go-next")}},
        {QStringLiteral("chevron.left"), {QStringLiteral("go-previous")}},
        {QStringLiteral("xmark"), {QStringLiteral("window-close")}},
        {QStringLiteral("arrow.down.circle"), {QStringLiteral("system-software-update"), QStringLiteral("go-down")}},
        {QStringLiteral("terminal"), {QStringLiteral("utilities-terminal")}},
    };
    if (symbol == QLatin1String("diskimage")) {
        // The icon of the raw disk image type, then the generic disk image ones.
        const QString raw = QMimeDatabase().mimeTypeForName(QStringLiteral("application/x-raw-disk-image")).iconName();
        return {raw.isEmpty() ? QStringLiteral("application-x-raw-disk-image") : raw, QStringLiteral("application-x-cd-image"),
                QStringLiteral("media-optical")};
    }
    return names.value(symbol);
}

QPixmap SymbolIcon::drawn(const QString& symbol, const QColor& color, double side, double devicePixelRatio)
{
    const std::optional<SymbolImage> image = SymbolImage::named(symbol, side * 13.0 / 20.0);
    const int pixels = int(std::ceil(side * devicePixelRatio));
    QImage canvas(pixels, pixels, QImage::Format_ARGB32_Premultiplied);
    canvas.fill(Qt::transparent);
    if (image) {
        QPainter painter(&canvas);
        painter.scale(devicePixelRatio, devicePixelRatio);
        const QSizeF size = image->size();
        image->draw(painter, QPointF((side - size.width()) / 2, (side - size.height()) / 2));
        // The symbol is drawn in black; tint what it covers.
        painter.setCompositionMode(QPainter::CompositionMode_SourceIn);
        painter.fillRect(QRectF(0, 0, side, side), color);
    }
    QPixmap pixmap = QPixmap::fromImage(canvas);
    pixmap.setDevicePixelRatio(devicePixelRatio);
    return pixmap;
}

QIcon SymbolIcon::icon(const QString& symbol, const QColor& color, double pointSize)
{
    for (const QString& name : themeNames(symbol))
        if (QIcon::hasThemeIcon(name))
            return QIcon::fromTheme(name);
    if (!SymbolImage::named(symbol))
        return {};
    // One icon per look for the program's life: the pixmap cache keys on the icon, so icons
    // made afresh for every opening would fill it.
    static QHash<QString, QIcon> made;
    const QString key = symbol + QLatin1Char('/') + color.name(QColor::HexArgb) + QLatin1Char('/') + QString::number(pointSize);
    if (const auto it = made.constFind(key); it != made.constEnd())
        return *it;
    // The widest symbol is 20 design points; the square holds it at the asked size.
    const double side = std::ceil(pointSize * 20.0 / 13.0);
    QIcon icon;
    for (double ratio : {1.0, 2.0})
        icon.addPixmap(drawn(symbol, color, side, ratio));
    made.insert(key, icon);
    return icon;
}

} // namespace mallowby
