#include "Popover/Controls/KeyedStack.h"

#include <QSet>
#include <QVBoxLayout>

namespace mallowby {

KeyedStack::KeyedStack(int spacing, QWidget* parent) : QWidget(parent), m_layout(new QVBoxLayout(this))
{
    m_layout->setContentsMargins(0, 0, 0, 0);
    m_layout->setSpacing(spacing);
    hide();
}

bool KeyedStack::sync(const QStringList& keys, const std::function<QWidget*(const QString& key)>& make)
{
    if (keys == m_keys)
        return false;
    const QSet<QString> wanted(keys.cbegin(), keys.cend());
    for (auto it = m_views.begin(); it != m_views.end();) {
        if (wanted.contains(it.key())) {
            m_layout->removeWidget(*it);
            ++it;
            continue;
        }
        QWidget* gone = *it;
        m_layout->removeWidget(gone);
        gone->hide();
        gone->deleteLater();
        it = m_views.erase(it);
    }
    for (const QString& key : keys) {
        QWidget*& view = m_views[key];
        if (!view)
            view = make(key);
        m_layout->addWidget(view);
        view->show();
    }
    m_keys = keys;
    setVisible(!keys.isEmpty());
    return true;
}

} // namespace mallowby
