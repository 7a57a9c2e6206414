#include "MenuBar/PanelHost.h"

#include <QFile>
#include <QHash>
#include <QRegularExpression>

namespace mallowby {

PanelHost PanelHost::forProcess(const QString& name)
{
    // GNOME's AppIndicator extension shows a label beside the icon; waybar, MATE and Cinnamon
    // (xapp-sn-watcher) keep an image's aspect; Plasma (its watcher lives in kded), XFCE's status
    // tray and LXQt fit every image into a square slot. xfce4-panel's default panels ask for the
    // dark theme variant ("dark-mode" on), so its tray is dark unless the user turned that off.
    static const QHash<QString, PanelHost> hosts{
        {QStringLiteral("gnome-shell"), {.face = Face::label, .darkPanel = true}},
        {QStringLiteral("waybar"), {.face = Face::wide, .darkPanel = true}},
        {QStringLiteral("swaybar"), {.face = Face::square, .darkPanel = true}},
        {QStringLiteral("mate-panel"), {.face = Face::wide}},
        {QStringLiteral("xapp-sn-watcher"), {.face = Face::wide}},
        {QStringLiteral("plasmashell"), {.face = Face::square}},
        {QStringLiteral("kded5"), {.face = Face::square}},
        {QStringLiteral("kded6"), {.face = Face::square}},
        {QStringLiteral("xfce4-panel"), {.face = Face::square, .darkPanel = true}},
        {QStringLiteral("lxqt-panel"), {.face = Face::square}},
    };
    // XFCE runs external plugins in wrappers ("wrapper-2.0"), which name themselves after their
    // panel and plugin ("panel-3-systray").
    static const QRegularExpression xfcePlugin(QStringLiteral("^(wrapper-|panel-\\d+-)"));
    if (xfcePlugin.match(name).hasMatch())
        return {.face = Face::square, .darkPanel = true};
    return hosts.value(name.trimmed(), PanelHost{});
}

QString PanelHost::processName(quint32 pid)
{
    if (pid == 0)
        return {};
    QFile file(QStringLiteral("/proc/%1/comm").arg(pid));
    if (!file.open(QIODevice::ReadOnly))
        return {};
    return QString::fromUtf8(file.read(64)).trimmed();
}

} // namespace mallowby
