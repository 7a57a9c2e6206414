#pragma once

#include "support/TestEnvironment.h"

#include <QAbstractButton>
#include <QAccessible>
#include <QAccessibleActionInterface>
#include <QPointer>
#include <QWidget>

#include <optional>

namespace mallowby::test {

// Finds and operates widgets the way assistive technology does: by accessible name and role, through their actions.
class AccessibleTree {
public:
    // The first element at or below `from` (depth first) with this name (any name when empty), and this role when given.
    static QAccessibleInterface* find(QAccessibleInterface* from, const QString& name, std::optional<QAccessible::Role> role = std::nullopt)
    {
        if (!from || ((name.isEmpty() || from->text(QAccessible::Name) == name) && (!role || from->role() == *role)))
            return from;
        for (int i = 0; i < from->childCount(); ++i)
            if (QAccessibleInterface* found = find(from->child(i), name, role))
                return found;
        return nullptr;
    }

    // Performs an enabled element's first action and waits for the click it starts (after the press animation).
    static bool press(QAccessibleInterface* element)
    {
        if (!element || element->state().disabled || !element->actionInterface() || element->actionInterface()->actionNames().isEmpty())
            return false;
        const QPointer<QAbstractButton> button = qobject_cast<QAbstractButton*>(element->object());
        element->actionInterface()->doAction(element->actionInterface()->actionNames().first());
        return TestEnvironment::waitUntil([&] { return !button || !button->isDown(); }, std::chrono::seconds(10));
    }
    static bool checked(QAccessibleInterface* element) { return element && element->state().checked; }
    static bool shown(QAccessibleInterface* element) { return element && !element->state().invisible; }
};

} // namespace mallowby::test
