#include "Popover/BlockersView.h"

#include "Eject/Ejector.h"

namespace mallowby {

BlockersView::BlockersView(Ejector& ejector, const QString& targetID, QWidget* parent)
    : QWidget(parent), m_ejector(ejector), m_targetID(targetID)
{
    hide();
}

} // namespace mallowby
