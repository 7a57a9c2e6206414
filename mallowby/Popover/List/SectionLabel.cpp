#include "Popover/List/SectionLabel.h"

#include "Popover/Controls/PopoverTheme.h"

namespace mallowby {

SectionLabel::SectionLabel(const QString& title, QWidget* parent) : QLabel(title.toUpper(), parent)
{
    QFont font = PopoverTheme::font(PopoverTheme::Font::caption2);
    font.setWeight(QFont::DemiBold);
    font.setLetterSpacing(QFont::AbsoluteSpacing, 1.5);
    setFont(font);
    PopoverTheme::setTone(this, PopoverTheme::Tone::secondary);
    setContentsMargins(0, 2, 0, 0);
    setAccessibleName(title);
}

} // namespace mallowby
