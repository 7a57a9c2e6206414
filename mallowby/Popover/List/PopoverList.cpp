#include "Popover/List/PopoverList.h"

#include "Popover/Cards/DriveCard.h"
#include "Popover/List/InternalSection.h"
#include "Popover/Cards/NetworkCard.h"
#include "Popover/List/SectionLabel.h"
#include "Popover/Cards/VolumeRow.h"

namespace mallowby {

using Kind = PopoverModel::Entry::Kind;

PopoverList::PopoverList(Ejector& ejector, const Preferences& preferences, PopoverState& state, QWidget* parent)
    : KeyedStack(10, parent), m_ejector(ejector), m_preferences(preferences), m_state(state)
{
}

QWidget* PopoverList::make(const PopoverModel::Entry& entry)
{
    switch (entry.kind) {
    case Kind::driveCard:
        // Internal drives are not ejected from here.
        return new DriveCard(m_ejector, m_preferences, entry.drive->kind != VolumeKind::internal, this);
    case Kind::volumeRow:
        return new VolumeRow(m_preferences, nullptr, this);
    case Kind::sectionLabel:
        return new SectionLabel(entry.title, this);
    case Kind::networkCard:
        return new NetworkCard(m_ejector, m_preferences, this);
    case Kind::internalSection:
        return new InternalSection(m_ejector, m_preferences, m_state, this);
    }
    return nullptr;
}

void PopoverList::present(const QList<PopoverModel::Entry>& entries, const PopoverModel& model)
{
    QHash<QString, const PopoverModel::Entry*> byKey;
    for (const PopoverModel::Entry& entry : entries)
        byKey.insert(entry.key, &entry);
    sync(PopoverModel::keys(entries), [&](const QString& key) { return make(*byKey.value(key)); });

    for (const PopoverModel::Entry& entry : entries) {
        QWidget* widget = view(entry.key);
        switch (entry.kind) {
        case Kind::driveCard:
            static_cast<DriveCard*>(widget)->present(*entry.drive, entry.volumes);
            break;
        case Kind::volumeRow:
            static_cast<VolumeRow*>(widget)->present(entry.volumes.first());
            break;
        case Kind::sectionLabel:
            break;
        case Kind::networkCard:
            static_cast<NetworkCard*>(widget)->present(entry.volumes);
            break;
        case Kind::internalSection:
            static_cast<InternalSection*>(widget)->present(model);
            break;
        }
    }
}

} // namespace mallowby
