#pragma once

#include "Popover/PopoverTheme.h"

#include <QLabel>

namespace mallowby {

// A short label followed by a value ("R 12.3 MB/s"), both in one colour.
class Rate : public QLabel {
    Q_OBJECT
public:
    Rate(const QString& label, PopoverTheme::Tone color, QWidget* parent = nullptr);

    void setValue(const QString& value);

private:
    QString m_label;
};

} // namespace mallowby
