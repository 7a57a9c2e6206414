#include "Popover/Cards/Rate.h"

namespace mallowby {

Rate::Rate(const QString& label, PopoverTheme::Tone color, PopoverTheme::Font font, QWidget* parent)
    : QLabel(parent), m_label(label)
{
    setFont(PopoverTheme::font(font));
    PopoverTheme::setTone(this, color);
    // The widest value a rate or a count takes: one decimal below 100, whole numbers above.
    setText(label + QStringLiteral(" 99.9 KiB/s"));
    setFixedSize(sizeHint());
    clear();
}

void Rate::setValue(const QString& value)
{
    setText(m_label + QLatin1Char(' ') + value);
}

} // namespace mallowby
