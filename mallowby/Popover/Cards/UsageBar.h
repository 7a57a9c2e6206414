#pragma once

#include "Popover/Controls/PopoverTheme.h"

#include <QWidget>

namespace mallowby {

// A horizontal bar filling `fraction` of the width in a colour over a faint track. Hidden from
// accessibility: the row around it speaks the figures.
class UsageBar : public QWidget {
    Q_OBJECT
public:
    explicit UsageBar(QWidget* parent = nullptr);

    double fraction() const { return m_fraction; }
    // `fraction` is clamped to 0…1; a value that is not a number draws an empty bar.
    void set(double fraction, PopoverTheme::Tone color);

protected:
    void paintEvent(QPaintEvent* event) override;

private:
    double m_fraction = 0;
    PopoverTheme::Tone m_color = PopoverTheme::Tone::accent;
};

} // namespace mallowby
