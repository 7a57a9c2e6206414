#pragma once

#include "support/TestEnvironment.h"

#include <QAbstractButton>
#include <QAccessible>
#include <QAccessibleActionInterface>
#include <QWidget>

#include <functional>
#include <optional>

namespace mallowby::test {

// Finds and operates widgets the way assistive technology does: by accessible name and role,
// through the actions their accessible interfaces offer.
class AccessibleTree {
public:
    explicit AccessibleTree(QWidget* root) : m_root(QAccessible::queryAccessibleInterface(root)) {}

    // The first element (depth first) with this name, and this role when one is given.
    QAccessibleInterface* find(const QString& name, std::optional<QAccessible::Role> role = std::nullopt) const
    {
        return findIn(m_root, name, role);
    }
    // The first element with this role.
    QAccessibleInterface* first(QAccessible::Role role) const
    {
        return find(m_root, [&](QAccessibleInterface* e) { return e->role() == role; });
    }

    // The first element below `within` with this name (and role).
    static QAccessibleInterface* findIn(QAccessibleInterface* within, const QString& name,
                                        std::optional<QAccessible::Role> role = std::nullopt)
    {
        return find(within, [&](QAccessibleInterface* e) {
            return e->text(QAccessible::Name) == name && (!role || e->role() == *role);
        });
    }

    // Performs the element's first action (press or toggle), as a screen reader does, and lets it
    // finish.
    static bool press(QAccessibleInterface* element)
    {
        if (!element || !element->actionInterface() || element->actionInterface()->actionNames().isEmpty())
            return false;
        element->actionInterface()->doAction(element->actionInterface()->actionNames().first());
        auto* button = qobject_cast<QAbstractButton*>(element->object());
        TestEnvironment::waitUntil([&] { return !button || !button->isDown(); }, std::chrono::seconds(2));
        return true;
    }

    static bool checked(QAccessibleInterface* element) { return element && element->state().checked; }
    static bool shown(QAccessibleInterface* element) { return element && !element->state().invisible; }

private:
    static QAccessibleInterface* find(QAccessibleInterface* from, const std::function<bool(QAccessibleInterface*)>& matches)
    {
        if (!from)
            return nullptr;
        if (matches(from))
            return from;
        for (int i = 0; i < from->childCount(); ++i)
            if (QAccessibleInterface* found = find(from->child(i), matches))
                return found;
        return nullptr;
    }

    QAccessibleInterface* m_root;
};

} // namespace mallowby::test
