#pragma once

#include <QList>
#include <QStringList>

class QAccessibleInterface;
class QWidget;

namespace mallowby {

// Reads and operates widgets the way a screen reader does: through their QAccessible
// interfaces, by accessible name, never by position. Only shown elements count.
class AccessibleTree {
public:
    enum class Press { pressed, missing, disabled };

    // The given roots, or every shown top-level window when none are given.
    explicit AccessibleTree(QList<QWidget*> roots = {});

    // The first shown element with this name, or null.
    QAccessibleInterface* find(const QString& name) const;
    bool shows(const QString& name) const { return find(name) != nullptr; }
    // Whether the named element is shown and can be operated.
    bool isEnabled(const QString& name) const;
    // The names of every shown element, in tree order.
    QStringList names() const;
    // Runs the named control's press (or, for a disclosure, toggle) action. A button pressed
    // this way clicks after its short press animation.
    Press press(const QString& name) const;

private:
    QList<QWidget*> roots() const;

    QList<QWidget*> m_roots;
};

} // namespace mallowby
