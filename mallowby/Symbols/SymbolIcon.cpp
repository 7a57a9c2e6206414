#include "Symbols/SymbolIcon.h"

#include "Symbols/SymbolImage.h"

#include <QHash>
#include <QIcon>
#include <QMimeDatabase>
#include <QPainter>

namespace mallowby {

QStringList SymbolIcon::themeNames(const QString& symbol)
{
    static const QHash<QString, QStringList> names{
        {QStringLiteral("externaldrive"), {"drive-removable-media-usb", "drive-removable-media", "drive-harddisk"}},
        {QStringLiteral("internaldrive"), {"drive-harddisk"}},
        {QStringLiteral("sdcard"), {"media-flash-sd-mmc", "media-flash"}},
        {QStringLiteral("eject"), {"media-eject"}},
        {QStringLiteral("ellipsis.circle"), {"view-more-horizontal", "view-more", "open-menu"}},
        {QStringLiteral("gearshape"), {"configure", "preferences-system"}},
        {QStringLiteral("chevron.right"), {"go-next"}},
        {QStringLiteral("chevron.left"), {"go-previous"}},
        {QStringLiteral("xmark"), {"window-close"}},
        {QStringLiteral("arrow.down.circle"), {"system-software-update", "go-down"}},
        {QStringLiteral("terminal"), {"utilities-terminal"}},
    };
    if (symbol == QLatin1String("diskimage")) {
        // The icon of the raw disk image type, then the generic disk image ones.
        const QString raw = QMimeDatabase().mimeTypeForName(QStringLiteral("application/x-raw-disk-image")).iconName();
        QStringList list{raw.isEmpty() ? QStringLiteral("application-x-raw-disk-image") : raw};
        list << QStringLiteral("application-x-cd-image") << QStringLiteral("media-optical");
        return list;
    }
    return names.value(symbol);
}

QPixmap SymbolIcon::pixmap(const QString& symbol, int size, const QColor& color, qreal devicePixelRatio)
{
    for (const QString& name : themeNames(symbol)) {
        const QIcon icon = QIcon::fromTheme(name);
        if (!icon.isNull())
            return icon.pixmap(QSize(size, size), devicePixelRatio);
    }
    const auto drawn = SymbolImage::named(symbol);
    if (!drawn)
        return {};
    // Scale the drawing so its longer side fills the square, then centre it.
    const QSizeF natural = drawn->size();
    const auto scaled = SymbolImage::named(symbol, 13.0 * size / std::max(natural.width(), natural.height()));
    QPixmap pixmap(QSize(size, size) * devicePixelRatio);
    pixmap.setDevicePixelRatio(devicePixelRatio);
    pixmap.fill(Qt::transparent);
    QPainter painter(&pixmap);
    const QSizeF fitted = scaled->size();
    scaled->draw(painter, QPointF((size - fitted.width()) / 2, (size - fitted.height()) / 2));
    painter.setCompositionMode(QPainter::CompositionMode_SourceIn);
    painter.fillRect(QRectF(0, 0, size, size), color);
    return pixmap;
}

} // namespace mallowby
