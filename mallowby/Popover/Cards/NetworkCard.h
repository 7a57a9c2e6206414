#pragma once

#include "Popover/Cards/Card.h"

#include "Volumes/Volume.h"

#include <QHash>

namespace mallowby {

class EjectStatusView;
class Ejector;
class KeyedStack;
class PopoverButton;
class Preferences;
class VolumeRow;

// The network shares in one card: a row per share with an unmount button and a menu ("Unmount",
// "Who's Using This?"), "Unmounting…" under a share while it unmounts and its blockers panel while
// the ejector holds a status for it. Highlighted while a share's last unmount failed.
class NetworkCard : public Card {
    Q_OBJECT
public:
    NetworkCard(Ejector& ejector, const Preferences& preferences, QWidget* parent = nullptr);

    void present(const QList<Volume>& volumes);

private:
    struct Share {
        VolumeRow* row;
        PopoverButton* unmount;
        EjectStatusView* status;
    };
    QWidget* makeShare(const QString& volumeID);
    void unmount(const QString& volumeID);
    void inspect(const QString& volumeID);
    std::optional<Volume> volume(const QString& id) const;

    Ejector& m_ejector;
    const Preferences& m_preferences;
    QList<Volume> m_volumes;
    KeyedStack* m_shares;
    QHash<QString, Share> m_parts;
};

} // namespace mallowby
