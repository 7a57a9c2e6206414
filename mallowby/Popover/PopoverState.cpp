#include "Popover/PopoverState.h"

#include "Support/LaunchEnvironment.h"

namespace mallowby {

namespace {

template <typename T, typename Signal>
void assign(PopoverState* state, T& field, const T& value, Signal changed)
{
    if (field == value)
        return;
    field = value;
    emit (state->*changed)();
}

} // namespace

PopoverState::PopoverState(const LaunchEnvironment& environment, QObject* parent)
    : QObject(parent),
      m_internalExpanded(environment.value(QStringLiteral("MALLOWBY_POPOVER")) == QStringLiteral("internal"))
{
}

void PopoverState::setEjectAllResult(const std::optional<Ejector::EjectAllResult>& result)
{
    assign(this, m_ejectAllResult, result, &PopoverState::ejectAllResultChanged);
}

void PopoverState::setInternalExpanded(bool expanded)
{
    assign(this, m_internalExpanded, expanded, &PopoverState::internalExpandedChanged);
}

void PopoverState::setShowingSettings(bool showing)
{
    assign(this, m_showingSettings, showing, &PopoverState::showingSettingsChanged);
}

void PopoverState::setFocus(const std::optional<QString>& id)
{
    assign(this, m_focus, id, &PopoverState::focusChanged);
}

} // namespace mallowby
