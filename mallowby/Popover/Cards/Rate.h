#pragma once

#include "Popover/Controls/PopoverTheme.h"

#include <QLabel>

namespace mallowby {

// A short label followed by a value ("R 12.3 MB/s"), both in one colour. Its size is fixed to fit
// the widest value, so a new value repaints it without laying out the card again.
class Rate : public QLabel {
    Q_OBJECT
public:
    Rate(const QString& label, PopoverTheme::Tone color, PopoverTheme::Font font = PopoverTheme::Font::caption,
         QWidget* parent = nullptr);

    void setValue(const QString& value);

private:
    QString m_label;
};

} // namespace mallowby
