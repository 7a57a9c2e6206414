#include "Popover/Blockers/HolderRow.h"

#include "Popover/Controls/ElidedLabel.h"
#include "Popover/Controls/PopoverTheme.h"

#include <QLabel>
#include <QVBoxLayout>

namespace mallowby {

HolderRow::HolderRow(const SystemHolder& holder, QWidget* parent) : QWidget(parent), m_holder(holder)
{
    auto* column = new QVBoxLayout(this);
    column->setContentsMargins(0, 0, 0, 0);
    column->setSpacing(1);
    auto* title = new ElidedLabel(holder.title(), this);
    title->setFont(PopoverTheme::font(PopoverTheme::Font::caption));
    title->setToolTip(holder.title());
    column->addWidget(title);
    for (const QString& text : {holder.subtitle(), holder.remedy()}) {
        if (text.isEmpty())
            continue;
        auto* label = new QLabel(text, this);
        label->setWordWrap(true);
        label->setTextFormat(Qt::PlainText);
        PopoverTheme::setText(label, PopoverTheme::Font::caption2, PopoverTheme::Tone::secondary);
        column->addWidget(label);
    }
    setAccessibleName(holder.title());
    setAccessibleDescription(QStringList{holder.subtitle(), holder.remedy()}.join(QLatin1Char(' ')).trimmed());
}

} // namespace mallowby
