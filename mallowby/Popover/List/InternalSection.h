#pragma once

#include "Popover/PopoverModel.h"
#include "Settings/ByteUnits.h"

#include <QWidget>

class QLabel;

namespace mallowby {

class Ejector;
class PopoverButton;
class PopoverList;
class PopoverState;
class Preferences;

// The internal drives under a header that opens and closes them: "INTERNAL", the boot volume's
// free space and a chevron turned down while open. Closed, it holds no cards.
class InternalSection : public QWidget {
    Q_OBJECT
public:
    InternalSection(Ejector& ejector, const Preferences& preferences, PopoverState& state, QWidget* parent = nullptr);

    void present(const PopoverModel& model);

    // "Macintosh HD · 200 GB free"; empty without a boot volume with figures.
    static QString bootSummary(const PopoverModel& model, ByteUnits units);

private:
    const Preferences& m_preferences;
    PopoverState& m_state;
    PopoverButton* m_header;
    QLabel* m_summary;
    QLabel* m_chevron;
    QString m_chevronKey;  // colour and direction it is drawn in
    PopoverList* m_cards;
};

} // namespace mallowby
