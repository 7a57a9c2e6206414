#pragma once

#include "Eject/Blocker.h"

#include <QWidget>

#include <functional>

class QLabel;

namespace mallowby {

class DisclosureButton;
class ElidedLabel;
class SmallButton;

// One process that holds the drive: its icon, name, what ties it to the drive, the further uses
// behind a disclosure, and the button that quits the app or asks to terminate the process.
class BlockerRow : public QWidget {
    Q_OBJECT
public:
    using Action = std::function<void(const Blocker&)>;

    BlockerRow(const Blocker& blocker, Action quit, Action terminate, QWidget* parent = nullptr);

    const Blocker& blocker() const { return m_blocker; }
    // Shows a newer scan's record of the same process; the disclosure stays as it was.
    void setBlocker(const Blocker& blocker);
    void setActionsEnabled(bool enabled);
    bool isExpanded() const { return m_expanded; }
    void setExpanded(bool expanded);

    // The app's name for an app's own process, otherwise the process name.
    static QString title(const Blocker& blocker);
    // "in APP · pid N · reason" for an app's helper, "pid N · reason" for the app itself.
    static QString subtitle(const Blocker& blocker);

protected:
    void changeEvent(QEvent* event) override;

private:
    void present();
    void presentOtherUses();
    void updateIcon();

    Blocker m_blocker;
    Action m_quit;
    Action m_terminate;
    bool m_expanded = false;

    QLabel* m_icon;
    QLabel* m_title;
    QLabel* m_subtitle;
    ElidedLabel* m_path;
    DisclosureButton* m_disclosure;
    QWidget* m_otherUses;
    SmallButton* m_button;
};

} // namespace mallowby
