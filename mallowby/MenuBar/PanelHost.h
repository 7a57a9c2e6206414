#pragma once

#include <QString>

namespace mallowby {

// The panel that shows the tray item, known by the process owning the StatusNotifierWatcher: how
// it draws an item's image and whether its bar is dark whatever the colour scheme.
struct PanelHost {
    // wide: the image at the panel's height, its aspect kept; label: a text beside a square icon;
    // square: a square icon only.
    enum class Face { wide, label, square };

    Face face = Face::square;
    bool darkPanel = false;
    bool operator==(const PanelHost&) const = default;

    // From the process's command name (/proc/PID/comm); unknown hosts get the square face.
    static PanelHost forProcess(const QString& name);
    // The command name of a process; empty when it cannot be read.
    static QString processName(quint32 pid);
};

} // namespace mallowby
