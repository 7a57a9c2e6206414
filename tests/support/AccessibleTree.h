#pragma once

#include <QAccessible>
#include <QAccessibleActionInterface>
#include <QStringList>
#include <QTest>
#include <QWidget>

#include <functional>

namespace mallowby::test {

// Reads and operates widgets the way a screen reader does: through their QAccessible
// interfaces, by name, never by position.
class AccessibleTree {
public:
    explicit AccessibleTree(QWidget* root) : m_root(root) {}

    // The first shown element with this name, or null.
    QAccessibleInterface* find(const QString& name) const
    {
        QAccessibleInterface* found = nullptr;
        visit(QAccessible::queryAccessibleInterface(m_root), [&](QAccessibleInterface* element) {
            if (!found && element->text(QAccessible::Name) == name)
                found = element;
        });
        return found;
    }
    bool shows(const QString& name) const { return find(name) != nullptr; }
    // The names of every shown element, in tree order.
    QStringList names() const
    {
        QStringList out;
        visit(QAccessible::queryAccessibleInterface(m_root), [&](QAccessibleInterface* element) {
            if (const QString name = element->text(QAccessible::Name); !name.isEmpty())
                out << name;
        });
        return out;
    }
    // Whether the named element is shown and can be operated.
    bool isEnabled(const QString& name) const
    {
        const QAccessibleInterface* element = find(name);
        return element && !element->state().disabled;
    }
    // Presses the named control when it is shown and enabled, and lets the press take effect;
    // answers whether it could.
    bool press(const QString& name) const
    {
        QAccessibleInterface* element = find(name);
        if (!element || element->state().disabled || !element->actionInterface())
            return false;
        const QStringList actions = element->actionInterface()->actionNames();
        const QString action = actions.contains(QAccessibleActionInterface::pressAction()) ? QAccessibleActionInterface::pressAction()
                                                                                           : QAccessibleActionInterface::toggleAction();
        if (!actions.contains(action))
            return false;
        element->actionInterface()->doAction(action);
        // A button pressed this way clicks after its press animation (100 ms).
        QTest::qWait(130);
        return true;
    }

private:
    static void visit(QAccessibleInterface* element, const std::function<void(QAccessibleInterface*)>& each)
    {
        if (!element || element->state().invisible)
            return;
        each(element);
        for (int i = 0; i < element->childCount(); ++i)
            visit(element->child(i), each);
    }

    QWidget* m_root;
};

} // namespace mallowby::test
