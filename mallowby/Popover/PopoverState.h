#pragma once

#include "Eject/Ejector.h"

#include <QObject>
#include <QString>

#include <optional>

namespace mallowby {

class LaunchEnvironment;

// What the popover shows beyond the live data, kept by the tray item for its whole life so that
// every opening starts where the last one left off. Main thread only.
class PopoverState : public QObject {
    Q_OBJECT
public:
    // The internal section starts open when MALLOWBY_POPOVER is "internal".
    explicit PopoverState(const LaunchEnvironment& environment, QObject* parent = nullptr);

    // The outcome of the last eject-all, shown as a summary until dismissed or the popover closes.
    const std::optional<Ejector::EjectAllResult>& ejectAllResult() const { return m_ejectAllResult; }
    void setEjectAllResult(const std::optional<Ejector::EjectAllResult>& result);

    bool internalExpanded() const { return m_internalExpanded; }
    void setInternalExpanded(bool expanded);

    // The settings page replaces the list.
    bool showingSettings() const { return m_showingSettings; }
    void setShowingSettings(bool showing);

    // The drive or eject target to scroll to; cleared once scrolled there.
    const std::optional<QString>& focus() const { return m_focus; }
    void setFocus(const std::optional<QString>& id);

signals:
    void ejectAllResultChanged();
    void internalExpandedChanged();
    void showingSettingsChanged();
    void focusChanged();

private:
    std::optional<Ejector::EjectAllResult> m_ejectAllResult;
    bool m_internalExpanded = false;
    bool m_showingSettings = false;
    std::optional<QString> m_focus;
};

} // namespace mallowby
