#include "Popover/List/InternalSection.h"

#include "Popover/Controls/PopoverAccessibility.h"
#include "Popover/Controls/PopoverButton.h"
#include "Popover/List/PopoverList.h"
#include "Popover/PopoverState.h"
#include "Popover/Controls/PopoverTheme.h"
#include "Popover/List/SectionLabel.h"
#include "Symbols/SymbolIcon.h"

#include "Settings/Format.h"
#include "Settings/Preferences.h"

#include <QHBoxLayout>
#include <QLabel>
#include <QTransform>
#include <QVBoxLayout>

namespace mallowby {

using Tone = PopoverTheme::Tone;

InternalSection::InternalSection(Ejector& ejector, const Preferences& preferences, PopoverState& state, QWidget* parent)
    : QWidget(parent),
      m_preferences(preferences),
      m_state(state),
      m_header(new PopoverButton({}, {}, Tone::secondary, this)),
      m_summary(PopoverTheme::label({}, PopoverTheme::Font::caption, Tone::secondary, m_header)),
      m_chevron(new QLabel(m_header)),
      m_cards(new PopoverList(ejector, preferences, state, this))
{
    PopoverAccessibility::setValue(m_header, QStringLiteral("collapsed"));
    auto* label = new SectionLabel(QStringLiteral("internal"), m_header);
    auto* row = new QHBoxLayout(m_header);
    row->setContentsMargins(2, 2, 4, 2);
    row->setSpacing(8);
    row->addWidget(label);
    row->addWidget(m_summary, 1);
    row->addWidget(m_chevron);
    for (QWidget* part : {static_cast<QWidget*>(label), static_cast<QWidget*>(m_summary), static_cast<QWidget*>(m_chevron)}) {
        part->setAttribute(Qt::WA_TransparentForMouseEvents);
        PopoverAccessibility::hide(part);
    }
    m_header->setSizePolicy(QSizePolicy::Expanding, QSizePolicy::Fixed);
    m_header->setMinimumHeight(row->sizeHint().height());
    connect(m_header, &QToolButton::clicked, this, [this] { m_state.setInternalExpanded(!m_state.internalExpanded()); });

    auto* column = new QVBoxLayout(this);
    column->setContentsMargins(0, 0, 0, 0);
    column->setSpacing(8);
    column->addWidget(m_header);
    column->addWidget(m_cards);
}

QString InternalSection::bootSummary(const PopoverModel& model, ByteUnits units)
{
    const std::optional<Volume> boot = model.bootVolume();
    if (!boot || !boot->space)
        return {};
    return boot->name + QStringLiteral(" · ") + Format::bytes(boot->space->available, units) + QStringLiteral(" free");
}

void InternalSection::present(const PopoverModel& model)
{
    const bool expanded = m_state.internalExpanded();
    const QString summary = bootSummary(model, m_preferences.units());
    m_summary->setText(summary);
    const QString name = QStringLiteral("Internal disk, ") + summary;
    if (m_header->accessibleName() != name)
        m_header->setAccessibleName(name);
    PopoverAccessibility::setValue(m_header, expanded ? QStringLiteral("expanded") : QStringLiteral("collapsed"));

    const QColor color = PopoverTheme::color(palette(), Tone::secondary);
    const QString key = color.name(QColor::HexArgb) + (expanded ? u'v' : u'>');
    if (key != m_chevronKey) {
        const double ratio = devicePixelRatioF();
        QPixmap chevron = SymbolIcon::drawn(QStringLiteral("chevron.right"), color, 12, ratio);
        if (expanded) {
            chevron = chevron.transformed(QTransform().rotate(90));
            chevron.setDevicePixelRatio(ratio);
        }
        m_chevron->setPixmap(chevron);
        m_chevronKey = key;
    }

    m_cards->present(expanded ? model.internalEntries() : QList<PopoverModel::Entry>{}, model);
}

} // namespace mallowby
