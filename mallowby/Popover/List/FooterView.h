#pragma once

#include <QWidget>

class QLabel;

namespace mallowby {

class PopoverButton;
class PopoverState;
class Updater;

// The popover's last row: the settings toggle ("settings" / "done"), the version or the update
// button, and "quit".
class FooterView : public QWidget {
    Q_OBJECT
public:
    FooterView(PopoverState& state, Updater& updater, QWidget* parent = nullptr);

    // "v" and the version; "vdev" without one.
    static QString versionText(const QString& applicationVersion);

private:
    void present();

    PopoverState& m_state;
    Updater& m_updater;
    PopoverButton* m_settings;
    QLabel* m_version;
    PopoverButton* m_update;
};

} // namespace mallowby
