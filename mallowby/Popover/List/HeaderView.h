#pragma once

#include "Drives/Drive.h"

#include <QWidget>

class QLabel;

namespace mallowby {

class Ejector;
class PopoverButton;
class PopoverState;

// The popover's first row: the program's symbol and name, the external drive count and, with at
// least one external drive, "eject all" (disabled while anything ejects).
class HeaderView : public QWidget {
    Q_OBJECT
public:
    HeaderView(Ejector& ejector, PopoverState& state, QWidget* parent = nullptr);

    void present(const QList<Drive>& external);

    // "No external drives", "1 external drive", "3 external drives".
    static QString countText(qsizetype count);

private:
    void ejectAll();

    Ejector& m_ejector;
    PopoverState& m_state;
    QList<Drive> m_external;
    QLabel* m_count;
    PopoverButton* m_ejectAll;
};

} // namespace mallowby
