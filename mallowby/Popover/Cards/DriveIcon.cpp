#include "Popover/Cards/DriveIcon.h"

#include "Popover/Controls/PopoverAccessibility.h"
#include "Popover/Controls/PopoverTheme.h"
#include "Symbols/SymbolIcon.h"

#include <QPainter>

namespace mallowby {

DriveIcon::DriveIcon(QWidget* parent) : QWidget(parent)
{
    setFixedSize(24, 24);
    PopoverAccessibility::hide(this);
}

QString DriveIcon::symbolFor(const Drive& drive)
{
    if (drive.kind == VolumeKind::internal)
        return QStringLiteral("internaldrive");
    if (drive.deviceProtocol == QStringLiteral("Secure Digital"))
        return QStringLiteral("sdcard");
    return QStringLiteral("externaldrive");
}

void DriveIcon::setDrive(const Drive& drive)
{
    const QString symbol = symbolFor(drive);
    if (symbol == m_symbol)
        return;
    m_symbol = symbol;
    update();
}

void DriveIcon::paintEvent(QPaintEvent*)
{
    QPainter painter(this);
    const QColor accent = PopoverTheme::color(palette(), PopoverTheme::Tone::accent);
    const QString key = m_symbol + accent.name(QColor::HexArgb);
    if (key != m_iconKey) {
        m_icon = SymbolIcon::icon(m_symbol, accent, 24 * 13.0 / 20.0);
        m_iconKey = key;
    }
    m_icon.paint(&painter, rect());
}

} // namespace mallowby
