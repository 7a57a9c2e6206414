#pragma once

#include <QString>

class QWidget;

namespace mallowby {

// What the popover's views tell assistive technology beyond a widget's name and description:
// elements hidden from it (a view that only repeats what its parent says), and the value of a
// control ("expanded"). Marks must be set before the widget is first asked about.
namespace PopoverAccessibility {

// The widget is left out: it reports no children and the invisible state.
void hide(QWidget* widget);
// A button whose accessible value is `value`.
void setValue(QWidget* button, const QString& value);

} // namespace PopoverAccessibility

} // namespace mallowby
