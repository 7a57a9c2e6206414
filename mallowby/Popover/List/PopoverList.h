#pragma once

#include "Popover/Controls/KeyedStack.h"
#include "Popover/PopoverModel.h"

namespace mallowby {

class Ejector;
class PopoverState;
class Preferences;

// The views of a list of model entries (drive cards, loose volume rows, section labels, the
// network card, the internal section), kept by key and updated in place.
class PopoverList : public KeyedStack {
    Q_OBJECT
public:
    PopoverList(Ejector& ejector, const Preferences& preferences, PopoverState& state, QWidget* parent = nullptr);

    void present(const QList<PopoverModel::Entry>& entries, const PopoverModel& model);

private:
    QWidget* make(const PopoverModel::Entry& entry);

    Ejector& m_ejector;
    const Preferences& m_preferences;
    PopoverState& m_state;
};

} // namespace mallowby
