#pragma once

#include <QHash>
#include <QStringList>
#include <QWidget>

#include <functional>

class QVBoxLayout;

namespace mallowby {

// A vertical stack of views keyed by id: kept in step with an ordered list of ids, it reuses the
// view of every id it already holds, so a view keeps its state, focus and place when others come
// and go. Hidden while empty.
class KeyedStack : public QWidget {
    Q_OBJECT
public:
    explicit KeyedStack(int spacing, QWidget* parent = nullptr);

    // One view per key in this order: existing ones are kept and moved, missing ones made by
    // `make`, the others removed (deleted on a later turn, as one may be sending a signal). True
    // when anything changed.
    bool sync(const QStringList& keys, const std::function<QWidget*(const QString& key)>& make);

    QWidget* view(const QString& key) const { return m_views.value(key); }
    template <typename View>
    View* viewAs(const QString& key) const
    {
        return qobject_cast<View*>(view(key));
    }

private:
    QVBoxLayout* m_layout;
    QStringList m_keys;
    QHash<QString, QWidget*> m_views;
};

} // namespace mallowby
