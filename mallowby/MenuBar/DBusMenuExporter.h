#pragma once

#include <QDBusArgument>
#include <QDBusVariant>
#include <QHash>
#include <QList>
#include <QObject>
#include <QPointer>
#include <QStringList>
#include <QVariantMap>

#include <functional>

class QAction;
class QMenu;

namespace mallowby {

// A QMenu exported over com.canonical.dbusmenu, so the panel draws the menu itself: the same
// actions, their ids stable for as long as they live, their properties announced when they change
// and the layout revision bumped when actions come or go. An item's "clicked" event triggers its
// action on the next turn. Main thread only.
class DBusMenuExporter : public QObject {
    Q_OBJECT
    Q_CLASSINFO("D-Bus Interface", "com.canonical.dbusmenu")
    Q_PROPERTY(uint Version READ version)
    Q_PROPERTY(QString TextDirection READ textDirection)
    Q_PROPERTY(QString Status READ status)
    Q_PROPERTY(QStringList IconThemePath READ iconThemePath)
public:
    struct LayoutItem {
        int id = 0;
        QVariantMap properties;
        QList<LayoutItem> children;
    };
    struct ItemProperties {
        int id = 0;
        QVariantMap properties;
    };
    struct ItemPropertyNames {
        int id = 0;
        QStringList names;
    };
    struct MenuEvent {
        int id = 0;
        QString eventId;
        QDBusVariant data;
        uint timestamp = 0;
    };

    explicit DBusMenuExporter(QMenu* menu, QObject* parent = nullptr);

    // Run when the panel is about to show the menu, before it reads it.
    void setAboutToShow(std::function<void()> callback) { m_aboutToShow = std::move(callback); }

    uint version() const { return 3; }
    QString textDirection() const { return QStringLiteral("ltr"); }
    QString status() const { return QStringLiteral("normal"); }
    QStringList iconThemePath() const { return {}; }
    uint revision() const { return m_revision; }

    // An action's item properties as dbusmenu names them.
    static QVariantMap properties(const QAction* action);
    static void registerTypes();

public slots:
    Q_SCRIPTABLE uint GetLayout(int parentId, int recursionDepth, const QStringList& propertyNames,
                                mallowby::DBusMenuExporter::LayoutItem& layout);
    Q_SCRIPTABLE QList<mallowby::DBusMenuExporter::ItemProperties> GetGroupProperties(const QList<int>& ids,
                                                                                     const QStringList& propertyNames);
    Q_SCRIPTABLE QDBusVariant GetProperty(int id, const QString& name);
    Q_SCRIPTABLE void Event(int id, const QString& eventId, const QDBusVariant& data, uint timestamp);
    Q_SCRIPTABLE QList<int> EventGroup(const QList<mallowby::DBusMenuExporter::MenuEvent>& events);
    Q_SCRIPTABLE bool AboutToShow(int id);
    Q_SCRIPTABLE QList<int> AboutToShowGroup(const QList<int>& ids, QList<int>& idErrors);

signals:
    Q_SCRIPTABLE void ItemsPropertiesUpdated(const QList<mallowby::DBusMenuExporter::ItemProperties>& updated,
                                             const QList<mallowby::DBusMenuExporter::ItemPropertyNames>& removed);
    Q_SCRIPTABLE void LayoutUpdated(uint revision, int parent);
    Q_SCRIPTABLE void ItemActivationRequested(int id, uint timestamp);

protected:
    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    // Ids for the menu's actions (and those of its submenus), keeping the ids already given.
    void index(QMenu* menu);
    QAction* action(int id) const;
    LayoutItem layout(int id, int depth, const QStringList& names) const;
    QMenu* menuOf(int id) const;

    QPointer<QMenu> m_menu;
    QHash<QAction*, int> m_ids;
    int m_nextId = 1;
    uint m_revision = 1;
    std::function<void()> m_aboutToShow;
};

QDBusArgument& operator<<(QDBusArgument& argument, const DBusMenuExporter::LayoutItem& item);
const QDBusArgument& operator>>(const QDBusArgument& argument, DBusMenuExporter::LayoutItem& item);
QDBusArgument& operator<<(QDBusArgument& argument, const DBusMenuExporter::ItemProperties& item);
const QDBusArgument& operator>>(const QDBusArgument& argument, DBusMenuExporter::ItemProperties& item);
QDBusArgument& operator<<(QDBusArgument& argument, const DBusMenuExporter::ItemPropertyNames& item);
const QDBusArgument& operator>>(const QDBusArgument& argument, DBusMenuExporter::ItemPropertyNames& item);
QDBusArgument& operator<<(QDBusArgument& argument, const DBusMenuExporter::MenuEvent& event);
const QDBusArgument& operator>>(const QDBusArgument& argument, DBusMenuExporter::MenuEvent& event);

} // namespace mallowby

Q_DECLARE_METATYPE(mallowby::DBusMenuExporter::LayoutItem)
Q_DECLARE_METATYPE(mallowby::DBusMenuExporter::ItemProperties)
Q_DECLARE_METATYPE(mallowby::DBusMenuExporter::ItemPropertyNames)
Q_DECLARE_METATYPE(mallowby::DBusMenuExporter::MenuEvent)
