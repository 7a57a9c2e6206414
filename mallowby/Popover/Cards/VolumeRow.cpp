#include "Popover/Cards/VolumeRow.h"

#include "Popover/Controls/PopoverAccessibility.h"
#include "Popover/Controls/PopoverTheme.h"
#include "Popover/Cards/UsageBar.h"

#include "Settings/Format.h"
#include "Settings/Preferences.h"

#include <QHBoxLayout>
#include <QLabel>
#include <QVBoxLayout>

namespace mallowby {

using Tone = PopoverTheme::Tone;
using Font = PopoverTheme::Font;

VolumeRow::VolumeRow(const Preferences& preferences, QWidget* accessory, QWidget* parent)
    : QWidget(parent),
      m_preferences(preferences),
      m_name(PopoverTheme::label({}, Font::body, Tone::primary, this)),
      m_badge(PopoverTheme::label(QStringLiteral("! low"), Font::caption2, Tone::orange, this)),
      m_free(PopoverTheme::label({}, Font::caption, Tone::secondary, this)),
      m_bar(new UsageBar(this))
{
    QFont badge = m_badge->font();
    badge.setWeight(QFont::DemiBold);
    m_badge->setFont(badge);
    m_badge->hide();
    m_name->setTextFormat(Qt::PlainText);
    m_name->setMinimumWidth(40);
    m_name->setSizePolicy(QSizePolicy::Ignored, QSizePolicy::Preferred);
    for (QWidget* part : {static_cast<QWidget*>(m_name), static_cast<QWidget*>(m_badge), static_cast<QWidget*>(m_free)})
        PopoverAccessibility::hide(part);  // the row speaks for them

    auto* column = new QVBoxLayout(this);
    column->setContentsMargins(0, 0, 0, 0);
    column->setSpacing(4);
    auto* line = new QHBoxLayout;
    line->setSpacing(6);
    line->addWidget(m_name, 1);
    line->addWidget(m_badge);
    line->addWidget(m_free);
    if (accessory) {
        accessory->setParent(this);
        line->addWidget(accessory);
    }
    column->addLayout(line);
    column->addWidget(m_bar);
}

bool VolumeRow::isLow(const Volume& volume, const LowSpaceThreshold& threshold)
{
    return volume.space && volume.space->total >= 1 && threshold.isLow(*volume.space);
}

QString VolumeRow::freeText(const Volume& volume, ByteUnits units)
{
    if (!volume.space)
        return QStringLiteral("reading…");
    return Format::bytes(volume.space->available, units) + QStringLiteral(" free");
}

QString VolumeRow::helpText(const Volume& volume, ByteUnits units)
{
    if (!volume.space)
        return {};
    const Space& space = *volume.space;
    QStringList parts{Format::bytes(space.used(), units) + QStringLiteral(" used of ") + Format::bytes(space.total, units)};
    const QString strict = Format::bytes(space.availableStrict, units);
    if (space.available - space.availableStrict > 1'000'000'000 && strict != Format::bytes(space.available, units))
        parts << strict + QStringLiteral(" free without purging");
    if (space.isStale)
        parts << QStringLiteral("not responding, last value shown");
    return parts.join(QStringLiteral(" · "));
}

QString VolumeRow::accessibleLabel(const Volume& volume, ByteUnits units, const LowSpaceThreshold& threshold)
{
    if (!volume.space)
        return volume.name + QStringLiteral(", reading");
    const Space& space = *volume.space;
    QString label = volume.name + QStringLiteral(", ") + Volume::formatName(volume.format) + QStringLiteral(", ")
                    + Format::spoken(double(space.available), units, false) + QStringLiteral(" free of ")
                    + Format::spoken(double(space.total), units, false) + QStringLiteral(", ")
                    + Format::percent(space.usedFraction()) + QStringLiteral(" used");
    if (isLow(volume, threshold))
        label += QStringLiteral(", low on space");
    if (space.isStale)
        label += QStringLiteral(", not responding");
    return label;
}

void VolumeRow::present(const Volume& volume)
{
    const ByteUnits units = m_preferences.units();
    const LowSpaceThreshold threshold = m_preferences.lowSpaceThreshold();
    Presented presented{volume, units, threshold};
    if (presented == m_presented)
        return;
    m_presented = std::move(presented);
    const bool low = isLow(volume, threshold);
    const bool stale = volume.space && volume.space->isStale;

    m_name->setText(volume.name);
    m_badge->setVisible(low);
    m_free->setText(freeText(volume, units));
    if (stale != m_stale) {
        m_stale = stale;
        PopoverTheme::setTone(m_free, stale ? Tone::orange : Tone::secondary);
    }
    m_bar->setVisible(volume.space.has_value());
    if (volume.space)
        m_bar->set(volume.space->usedFraction(), low || stale ? Tone::orange : Tone::accent);
    const QString help = helpText(volume, units);
    if (toolTip() != help)
        setToolTip(help);
    const QString label = accessibleLabel(volume, units, threshold);
    if (accessibleName() != label)
        setAccessibleName(label);
}

} // namespace mallowby
