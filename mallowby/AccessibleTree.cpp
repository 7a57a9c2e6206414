#include "AccessibleTree.h"

#include <QAccessible>
#include <QAccessibleActionInterface>
#include <QApplication>
#include <QWidget>

#include <functional>

namespace mallowby {

namespace {

// Visits shown elements depth first; stops when `each` answers true.
bool visit(QAccessibleInterface* element, const std::function<bool(QAccessibleInterface*)>& each)
{
    if (!element || element->state().invisible)
        return false;
    if (each(element))
        return true;
    for (int i = 0; i < element->childCount(); ++i)
        if (visit(element->child(i), each))
            return true;
    return false;
}

} // namespace

AccessibleTree::AccessibleTree(QList<QWidget*> roots) : m_roots(std::move(roots)) {}

QList<QWidget*> AccessibleTree::roots() const
{
    if (!m_roots.isEmpty())
        return m_roots;
    QList<QWidget*> shown;
    for (QWidget* window : QApplication::topLevelWidgets())
        if (window->isVisible())
            shown << window;
    return shown;
}

QAccessibleInterface* AccessibleTree::find(const QString& name) const
{
    QAccessibleInterface* found = nullptr;
    for (QWidget* root : roots())
        if (visit(QAccessible::queryAccessibleInterface(root), [&](QAccessibleInterface* element) {
                if (element->text(QAccessible::Name) != name)
                    return false;
                found = element;
                return true;
            }))
            break;
    return found;
}

bool AccessibleTree::isEnabled(const QString& name) const
{
    const QAccessibleInterface* element = find(name);
    return element && !element->state().disabled;
}

QStringList AccessibleTree::names() const
{
    QStringList out;
    for (QWidget* root : roots())
        visit(QAccessible::queryAccessibleInterface(root), [&](QAccessibleInterface* element) {
            if (const QString name = element->text(QAccessible::Name); !name.isEmpty())
                out << name;
            return false;
        });
    return out;
}

AccessibleTree::Press AccessibleTree::press(const QString& name) const
{
    QAccessibleInterface* element = find(name);
    if (!element || !element->actionInterface())
        return Press::missing;
    if (element->state().disabled)
        return Press::disabled;
    const QStringList actions = element->actionInterface()->actionNames();
    for (const QString& action : {QAccessibleActionInterface::pressAction(), QAccessibleActionInterface::toggleAction()})
        if (actions.contains(action)) {
            element->actionInterface()->doAction(action);
            return Press::pressed;
        }
    return Press::missing;
}

} // namespace mallowby
