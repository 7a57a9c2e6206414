#include "Popover/StatusLine.h"

#include "Popover/PopoverTheme.h"
#include "Popover/ProgressIndicator.h"

#include <QHBoxLayout>
#include <QLabel>

namespace mallowby {

StatusLine::StatusLine(const QString& text, QWidget* parent) : QWidget(parent)
{
    auto* row = new QHBoxLayout(this);
    row->setContentsMargins(0, 0, 0, 0);
    row->setSpacing(6);
    row->addWidget(new ProgressIndicator(12, this));
    row->addWidget(PopoverTheme::label(text, PopoverTheme::Font::caption, PopoverTheme::Tone::secondary, this));
    row->addStretch();
}

} // namespace mallowby
