#include "Popover/Controls/SmallButton.h"

#include <QFontMetrics>

namespace mallowby {

SmallButton::SmallButton(const QString& text, QWidget* parent) : QPushButton(text, parent)
{
    setSizePolicy(QSizePolicy::Fixed, QSizePolicy::Fixed);
}

QSize SmallButton::sizeHint() const
{
    const QFontMetrics metrics(font());
    return {metrics.horizontalAdvance(text()) + 16, metrics.height() + 8};
}

} // namespace mallowby
