#include "Popover/Controls/PopoverAccessibility.h"

#include <QAbstractButton>
#include <QAccessible>
#include <QAccessibleWidget>
#include <QWidget>

namespace mallowby::PopoverAccessibility {

namespace {

const char* const hiddenProperty = "mallowby.accessibilityHidden";
const char* const valueProperty = "mallowby.accessibilityValue";

class Hidden final : public QAccessibleWidget {
public:
    explicit Hidden(QWidget* widget) : QAccessibleWidget(widget, QAccessible::NoRole) {}
    int childCount() const override { return 0; }
    QAccessibleInterface* child(int) const override { return nullptr; }
    int indexOfChild(const QAccessibleInterface*) const override { return -1; }
    QAccessible::State state() const override
    {
        QAccessible::State state = QAccessibleWidget::state();
        state.invisible = true;
        return state;
    }
};

// A push button that also has a value.
class ValueButton final : public QAccessibleWidget {
public:
    explicit ValueButton(QAbstractButton* button) : QAccessibleWidget(button, QAccessible::Button) {}

    QString text(QAccessible::Text t) const override
    {
        if (t == QAccessible::Value)
            return widget()->property(valueProperty).toString();
        if (t == QAccessible::Name && widget()->accessibleName().isEmpty())
            return static_cast<QAbstractButton*>(widget())->text();
        return QAccessibleWidget::text(t);
    }
    QStringList actionNames() const override { return {pressAction()}; }
    void doAction(const QString& action) override
    {
        if (action == pressAction() && widget()->isEnabled())
            static_cast<QAbstractButton*>(widget())->click();
    }
};

QAccessibleInterface* factory(const QString&, QObject* object)
{
    auto* widget = qobject_cast<QWidget*>(object);
    if (!widget)
        return nullptr;
    if (widget->property(hiddenProperty).toBool())
        return new Hidden(widget);
    if (auto* button = qobject_cast<QAbstractButton*>(widget); button && widget->property(valueProperty).isValid())
        return new ValueButton(button);
    return nullptr;
}

void installOnce()
{
    static const bool installed = [] {
        QAccessible::installFactory(factory);
        return true;
    }();
    (void)installed;
}

} // namespace

void hide(QWidget* widget)
{
    installOnce();
    widget->setProperty(hiddenProperty, true);
}

void setValue(QWidget* button, const QString& value)
{
    installOnce();
    if (button->property(valueProperty).toString() == value)
        return;
    button->setProperty(valueProperty, value);
    QAccessibleValueChangeEvent event(button, value);
    QAccessible::updateAccessibility(&event);
}

} // namespace mallowby::PopoverAccessibility
