#include "MenuBar/DBusMenuExporter.h"

#include <QAction>
#include <QActionEvent>
#include <QDBusMetaType>
#include <QKeySequence>
#include <QMenu>
#include <QTimer>

namespace mallowby {

QDBusArgument& operator<<(QDBusArgument& argument, const DBusMenuExporter::LayoutItem& item)
{
    argument.beginStructure();
    argument << item.id << item.properties;
    argument.beginArray(QMetaType::fromType<QDBusVariant>());
    for (const DBusMenuExporter::LayoutItem& child : item.children)
        argument << QDBusVariant(QVariant::fromValue(child));
    argument.endArray();
    argument.endStructure();
    return argument;
}

const QDBusArgument& operator>>(const QDBusArgument& argument, DBusMenuExporter::LayoutItem& item)
{
    argument.beginStructure();
    argument >> item.id >> item.properties;
    item.children.clear();
    argument.beginArray();
    while (!argument.atEnd()) {
        QDBusVariant variant;
        argument >> variant;
        DBusMenuExporter::LayoutItem child;
        qvariant_cast<QDBusArgument>(variant.variant()) >> child;
        item.children << child;
    }
    argument.endArray();
    argument.endStructure();
    return argument;
}

QDBusArgument& operator<<(QDBusArgument& argument, const DBusMenuExporter::ItemProperties& item)
{
    argument.beginStructure();
    argument << item.id << item.properties;
    argument.endStructure();
    return argument;
}

const QDBusArgument& operator>>(const QDBusArgument& argument, DBusMenuExporter::ItemProperties& item)
{
    argument.beginStructure();
    argument >> item.id >> item.properties;
    argument.endStructure();
    return argument;
}

QDBusArgument& operator<<(QDBusArgument& argument, const DBusMenuExporter::ItemPropertyNames& item)
{
    argument.beginStructure();
    argument << item.id << item.names;
    argument.endStructure();
    return argument;
}

const QDBusArgument& operator>>(const QDBusArgument& argument, DBusMenuExporter::ItemPropertyNames& item)
{
    argument.beginStructure();
    argument >> item.id >> item.names;
    argument.endStructure();
    return argument;
}

QDBusArgument& operator<<(QDBusArgument& argument, const DBusMenuExporter::MenuEvent& event)
{
    argument.beginStructure();
    argument << event.id << event.eventId << event.data << event.timestamp;
    argument.endStructure();
    return argument;
}

const QDBusArgument& operator>>(const QDBusArgument& argument, DBusMenuExporter::MenuEvent& event)
{
    argument.beginStructure();
    argument >> event.id >> event.eventId >> event.data >> event.timestamp;
    argument.endStructure();
    return argument;
}

void DBusMenuExporter::registerTypes()
{
    static const bool once = [] {
        qDBusRegisterMetaType<LayoutItem>();
        qDBusRegisterMetaType<ItemProperties>();
        qDBusRegisterMetaType<QList<ItemProperties>>();
        qDBusRegisterMetaType<ItemPropertyNames>();
        qDBusRegisterMetaType<QList<ItemPropertyNames>>();
        qDBusRegisterMetaType<MenuEvent>();
        qDBusRegisterMetaType<QList<MenuEvent>>();
        qDBusRegisterMetaType<QList<QStringList>>();
        return true;
    }();
    (void)once;
}

DBusMenuExporter::DBusMenuExporter(QMenu* menu, QObject* parent) : QObject(parent), m_menu(menu)
{
    registerTypes();
    index(menu);
}

void DBusMenuExporter::index(QMenu* menu)
{
    if (!menu)
        return;
    menu->installEventFilter(this);
    for (QAction* action : menu->actions()) {
        if (!m_ids.contains(action)) {
            m_ids.insert(action, m_nextId++);
            connect(action, &QAction::changed, this, [this, action] {
                if (const int id = m_ids.value(action))
                    emit ItemsPropertiesUpdated({ItemProperties{.id = id, .properties = properties(action)}}, {});
            });
            connect(action, &QObject::destroyed, this, [this, action] { m_ids.remove(action); });
        }
        index(action->menu());
    }
}

bool DBusMenuExporter::eventFilter(QObject* watched, QEvent* event)
{
    if (event->type() == QEvent::ActionAdded || event->type() == QEvent::ActionRemoved) {
        if (event->type() == QEvent::ActionRemoved)
            m_ids.remove(static_cast<QActionEvent*>(event)->action());
        // The added action is in the menu's list only after the event: index on the next turn.
        QTimer::singleShot(0, this, [this, menu = QPointer<QMenu>(qobject_cast<QMenu*>(watched))] {
            index(menu);
            emit LayoutUpdated(++m_revision, 0);
        });
    }
    return false;
}

QAction* DBusMenuExporter::action(int id) const
{
    return id > 0 ? m_ids.key(id, nullptr) : nullptr;
}

QMenu* DBusMenuExporter::menuOf(int id) const
{
    if (id == 0)
        return m_menu;
    const QAction* found = action(id);
    return found ? found->menu() : nullptr;
}

QVariantMap DBusMenuExporter::properties(const QAction* action)
{
    QVariantMap map;
    if (action->isSeparator()) {
        map.insert(QStringLiteral("type"), QStringLiteral("separator"));
    } else {
        // '&' marks a mnemonic in Qt, '_' in dbusmenu.
        QString label = action->text();
        label.replace(QLatin1Char('_'), QStringLiteral("__"));
        label.replace(QStringLiteral("&&"), QStringLiteral("\x01"));
        label.replace(QLatin1Char('&'), QLatin1Char('_'));
        label.replace(QLatin1Char('\x01'), QLatin1Char('&'));
        map.insert(QStringLiteral("label"), label);
        if (action->menu())
            map.insert(QStringLiteral("children-display"), QStringLiteral("submenu"));
        if (action->isCheckable()) {
            map.insert(QStringLiteral("toggle-type"), action->actionGroup() ? QStringLiteral("radio") : QStringLiteral("checkmark"));
            map.insert(QStringLiteral("toggle-state"), action->isChecked() ? 1 : 0);
        }
        if (!action->shortcut().isEmpty()) {
            // One key chord: modifier names, then the key.
            const QKeyCombination chord = action->shortcut()[0];
            QStringList keys;
            if (chord.keyboardModifiers() & Qt::ControlModifier)
                keys << QStringLiteral("Control");
            if (chord.keyboardModifiers() & Qt::AltModifier)
                keys << QStringLiteral("Alt");
            if (chord.keyboardModifiers() & Qt::ShiftModifier)
                keys << QStringLiteral("Shift");
            if (chord.keyboardModifiers() & Qt::MetaModifier)
                keys << QStringLiteral("Super");
            keys << QKeySequence(chord.key()).toString().toLower();
            map.insert(QStringLiteral("shortcut"), QVariant::fromValue(QList<QStringList>{keys}));
        }
    }
    if (!action->isEnabled())
        map.insert(QStringLiteral("enabled"), false);
    if (!action->isVisible())
        map.insert(QStringLiteral("visible"), false);
    return map;
}

DBusMenuExporter::LayoutItem DBusMenuExporter::layout(int id, int depth, const QStringList& names) const
{
    LayoutItem item{.id = id, .properties = {}, .children = {}};
    if (const QAction* found = action(id))
        item.properties = properties(found);
    else
        item.properties.insert(QStringLiteral("children-display"), QStringLiteral("submenu"));
    if (!names.isEmpty())
        for (auto it = item.properties.begin(); it != item.properties.end();)
            it = names.contains(it.key()) ? std::next(it) : item.properties.erase(it);
    if (depth == 0)
        return item;
    if (const QMenu* menu = menuOf(id))
        for (QAction* child : menu->actions())
            if (const int childId = m_ids.value(child))
                item.children << layout(childId, depth < 0 ? -1 : depth - 1, names);
    return item;
}

uint DBusMenuExporter::GetLayout(int parentId, int recursionDepth, const QStringList& propertyNames, LayoutItem& result)
{
    result = layout(parentId == 0 || action(parentId) ? parentId : 0, recursionDepth, propertyNames);
    return m_revision;
}

QList<DBusMenuExporter::ItemProperties> DBusMenuExporter::GetGroupProperties(const QList<int>& ids,
                                                                             const QStringList& propertyNames)
{
    QList<ItemProperties> result;
    for (int id : ids)
        if (id == 0 || action(id))
            result << ItemProperties{.id = id, .properties = layout(id, 0, propertyNames).properties};
    return result;
}

QDBusVariant DBusMenuExporter::GetProperty(int id, const QString& name)
{
    return QDBusVariant(layout(id, 0, {}).properties.value(name));
}

void DBusMenuExporter::Event(int id, const QString& eventId, const QDBusVariant&, uint)
{
    if (eventId != QLatin1String("clicked"))
        return;
    // Triggered after the reply, as a click on a QMenu item runs after the menu closed.
    if (QAction* found = action(id); found && found->isEnabled())
        QTimer::singleShot(0, found, [found] { found->trigger(); });
}

QList<int> DBusMenuExporter::EventGroup(const QList<MenuEvent>& events)
{
    QList<int> unknown;
    for (const MenuEvent& event : events) {
        if (event.id != 0 && !action(event.id))
            unknown << event.id;
        else
            Event(event.id, event.eventId, event.data, event.timestamp);
    }
    return unknown;
}

bool DBusMenuExporter::AboutToShow(int)
{
    if (m_aboutToShow)
        m_aboutToShow();
    return false;  // changes are announced as they happen
}

QList<int> DBusMenuExporter::AboutToShowGroup(const QList<int>& ids, QList<int>& idErrors)
{
    for (int id : ids)
        if (id != 0 && !action(id))
            idErrors << id;
    if (m_aboutToShow)
        m_aboutToShow();
    return {};
}

} // namespace mallowby
