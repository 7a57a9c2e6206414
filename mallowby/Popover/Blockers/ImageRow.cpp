#include "Popover/Blockers/ImageRow.h"

#include "Popover/Controls/ElidedLabel.h"
#include "Popover/Controls/PopoverAccessibility.h"
#include "Popover/Controls/PopoverTheme.h"
#include "Popover/Controls/SmallButton.h"
#include "Symbols/SymbolIcon.h"

#include <QEvent>
#include <QFileInfo>
#include <QHBoxLayout>
#include <QLabel>
#include <QPushButton>
#include <QVBoxLayout>

namespace mallowby {

namespace {

constexpr int iconSize = 24;

} // namespace

ImageRow::ImageRow(const ImageBlocker& image, std::function<void(const ImageBlocker&)> eject, QWidget* parent)
    : QWidget(parent), m_image(image), m_icon(new QLabel(this))
{
    const QString fileName = QFileInfo(image.imagePath).fileName();
    auto* row = new QHBoxLayout(this);
    row->setContentsMargins(0, 0, 0, 0);
    row->setSpacing(8);
    m_icon->setFixedSize(iconSize, iconSize);
    PopoverAccessibility::hide(m_icon);
    row->addWidget(m_icon, 0, Qt::AlignVCenter);

    auto* column = new QVBoxLayout;
    column->setSpacing(1);
    auto* name = new ElidedLabel(fileName, this);
    name->setToolTip(image.imagePath);
    auto* origin = new QLabel(QStringLiteral("Mounted from this drive"), this);
    name->setFont(PopoverTheme::font(PopoverTheme::Font::caption));
    PopoverTheme::setText(origin, PopoverTheme::Font::caption2, PopoverTheme::Tone::secondary);
    column->addWidget(name);
    column->addWidget(origin);
    row->addLayout(column, 1);

    // Created after the texts, so a screen reader meets it after them.
    m_eject = new SmallButton(QStringLiteral("eject image"), this);
    m_eject->setFont(PopoverTheme::font(PopoverTheme::Font::caption));
    m_eject->setAccessibleName(QStringLiteral("Eject image %1").arg(fileName));
    m_eject->setAccessibleDescription(tr("Detaches the disk image, which is attached from a file on this drive"));
    row->addWidget(m_eject, 0, Qt::AlignVCenter);
    connect(m_eject, &QPushButton::clicked, this, [this, eject = std::move(eject)] { eject(m_image); });

    setAccessibleName(fileName);
    setAccessibleDescription(QStringLiteral("Mounted from this drive"));
    updateIcon();
}

void ImageRow::setActionsEnabled(bool enabled)
{
    m_eject->setEnabled(enabled);
}

void ImageRow::changeEvent(QEvent* event)
{
    QWidget::changeEvent(event);
    if (event->type() == QEvent::PaletteChange)
        updateIcon();
}

void ImageRow::updateIcon()
{
    const QColor color = PopoverTheme::color(palette(), PopoverTheme::Tone::secondary);
    m_icon->setPixmap(
        SymbolIcon::icon(QStringLiteral("diskimage"), color, iconSize * 13.0 / 20.0).pixmap(QSize(iconSize, iconSize), devicePixelRatioF()));
}

} // namespace mallowby
