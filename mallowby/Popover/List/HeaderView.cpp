#include "Popover/List/HeaderView.h"

#include "Popover/Controls/PopoverAccessibility.h"
#include "Popover/Controls/PopoverButton.h"
#include "Popover/PopoverState.h"
#include "Popover/Controls/PopoverTheme.h"
#include "Symbols/SymbolIcon.h"

#include "Eject/EjectTarget.h"
#include "Eject/Ejector.h"

#include <QHBoxLayout>
#include <QLabel>
#include <QPointer>

#include <algorithm>

namespace mallowby {

using Tone = PopoverTheme::Tone;
using Font = PopoverTheme::Font;

namespace {

QCoro::Task<> runEjectAll(QPointer<Ejector> ejector, QPointer<PopoverState> state, QList<EjectTarget> targets)
{
    const Ejector::EjectAllResult result = co_await ejector->ejectAll(std::move(targets));
    if (!state)
        co_return;
    state->setEjectAllResult(result);
    state->setFocus(result.failed.isEmpty() ? std::nullopt : std::optional(result.failed.first()));
}

} // namespace

HeaderView::HeaderView(Ejector& ejector, PopoverState& state, QWidget* parent)
    : QWidget(parent),
      m_ejector(ejector),
      m_state(state),
      m_count(PopoverTheme::label({}, Font::caption, Tone::secondary, this)),
      m_ejectAll(new PopoverButton(QStringLiteral("eject all"), QStringLiteral("eject"), Tone::primary, this))
{
    auto* symbol = new QLabel(this);
    symbol->setPixmap(SymbolIcon::drawn(QStringLiteral("externaldrive"), PopoverTheme::color(palette(), Tone::primary),
                                        18, devicePixelRatioF()));
    PopoverAccessibility::hide(symbol);
    auto* row = new QHBoxLayout(this);
    row->setContentsMargins(0, 0, 0, 0);
    row->setSpacing(6);
    row->addWidget(symbol);
    row->addWidget(PopoverTheme::label(QStringLiteral("mallowby"), Font::headline, Tone::primary, this));
    row->addWidget(m_count, 1);
    row->addWidget(m_ejectAll);
    connect(m_ejectAll, &QToolButton::clicked, this, &HeaderView::ejectAll);
}

QString HeaderView::countText(qsizetype count)
{
    if (count == 0)
        return QStringLiteral("No external drives");
    if (count == 1)
        return QStringLiteral("1 external drive");
    return QStringLiteral("%1 external drives").arg(count);
}

void HeaderView::present(const QList<Drive>& external)
{
    m_external = external;
    m_count->setText(countText(external.size()));
    m_ejectAll->setVisible(!external.isEmpty());
    const auto& statuses = m_ejector.statuses();
    m_ejectAll->setEnabled(std::none_of(statuses.cbegin(), statuses.cend(), [](const Ejector::Status& status) {
        return status.phase == Ejector::Phase::ejecting;
    }));
}

void HeaderView::ejectAll()
{
    QList<EjectTarget> targets;
    for (const Drive& drive : std::as_const(m_external))
        targets.append(EjectTarget::fromDrive(drive));
    runEjectAll(&m_ejector, &m_state, std::move(targets));
}

} // namespace mallowby
