#include "Popover/Rate.h"

namespace mallowby {

Rate::Rate(const QString& label, PopoverTheme::Tone color, QWidget* parent) : QLabel(parent), m_label(label)
{
    setFont(PopoverTheme::font(PopoverTheme::Font::caption));
    PopoverTheme::setTone(this, color);
}

void Rate::setValue(const QString& value)
{
    setText(m_label + QLatin1Char(' ') + value);
}

} // namespace mallowby
