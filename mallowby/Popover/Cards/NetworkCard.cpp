#include "Popover/Cards/NetworkCard.h"

#include "Popover/Cards/EjectStatusView.h"
#include "Popover/Controls/KeyedStack.h"
#include "Popover/Controls/PopoverButton.h"
#include "Popover/Cards/VolumeRow.h"

#include "Eject/EjectTarget.h"
#include "Eject/Ejector.h"
#include "Settings/Preferences.h"

#include <QAction>
#include <QVBoxLayout>

namespace mallowby {

NetworkCard::NetworkCard(Ejector& ejector, const Preferences& preferences, QWidget* parent)
    : Card(parent), m_ejector(ejector), m_preferences(preferences), m_shares(new KeyedStack(8, this))
{
    column()->addWidget(m_shares);
}

QWidget* NetworkCard::makeShare(const QString& volumeID)
{
    auto* box = new QWidget(m_shares);
    auto* unmount = new PopoverButton({}, QStringLiteral("eject"), PopoverTheme::Tone::secondary);
    unmount->setToolTip(QStringLiteral("Unmount"));
    connect(unmount, &QToolButton::clicked, this, [this, volumeID] { this->unmount(volumeID); });
    auto* row = new VolumeRow(m_preferences, unmount, box);
    row->setContextMenuPolicy(Qt::ActionsContextMenu);
    auto* unmountAction = new QAction(QStringLiteral("Unmount"), row);
    connect(unmountAction, &QAction::triggered, this, [this, volumeID] { this->unmount(volumeID); });
    auto* inspectAction = new QAction(QStringLiteral("Who's Using This?"), row);
    connect(inspectAction, &QAction::triggered, this, [this, volumeID] { inspect(volumeID); });
    row->addActions({unmountAction, inspectAction});

    const std::optional<Volume> volume = this->volume(volumeID);
    const QString target = volume ? EjectTarget::fromNetworkVolume(*volume).id : volumeID;
    row->setProperty("mallowby.target", target);
    auto* status = new EjectStatusView(m_ejector, target, QStringLiteral("Unmounting…"), box);

    auto* column = new QVBoxLayout(box);
    column->setContentsMargins(0, 0, 0, 0);
    column->setSpacing(6);
    column->addWidget(row);
    column->addWidget(status);
    m_parts.insert(volumeID, {row, unmount, status});
    return box;
}

void NetworkCard::present(const QList<Volume>& volumes)
{
    m_volumes = volumes;
    QStringList keys;
    for (const Volume& volume : volumes)
        keys << volume.id;
    if (m_shares->sync(keys, [this](const QString& id) { return makeShare(id); }))
        for (auto it = m_parts.begin(); it != m_parts.end();)
            it = keys.contains(it.key()) ? std::next(it) : m_parts.erase(it);

    bool failed = false;
    for (const Volume& volume : volumes) {
        const Share& share = m_parts[volume.id];
        share.row->present(volume);
        share.unmount->setAccessibleName(QStringLiteral("Unmount ") + volume.name);
        share.status->refresh();
        share.status->presentFlush(m_preferences.units());
        failed = failed || share.status->hasFailure();
    }
    setHighlighted(failed);
}

std::optional<Volume> NetworkCard::volume(const QString& id) const
{
    for (const Volume& volume : m_volumes)
        if (volume.id == id)
            return volume;
    return std::nullopt;
}

void NetworkCard::unmount(const QString& volumeID)
{
    if (const auto share = volume(volumeID))
        (void)m_ejector.eject(EjectTarget::fromNetworkVolume(*share), false);
}

void NetworkCard::inspect(const QString& volumeID)
{
    if (const auto share = volume(volumeID))
        (void)m_ejector.inspect(EjectTarget::fromNetworkVolume(*share));
}

} // namespace mallowby
