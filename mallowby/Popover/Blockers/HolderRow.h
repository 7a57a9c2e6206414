#pragma once

#include "Eject/SystemHolder.h"

#include <QWidget>

class QLabel;

namespace mallowby {

// Something besides the user's processes that holds the drive: what it is and what can be done.
// It offers no button: none of these can be stopped from here.
class HolderRow : public QWidget {
    Q_OBJECT
public:
    explicit HolderRow(const SystemHolder& holder, QWidget* parent = nullptr);

    const SystemHolder& holder() const { return m_holder; }

private:
    SystemHolder m_holder;
};

} // namespace mallowby
