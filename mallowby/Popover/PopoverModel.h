#pragma once

#include "Drives/Drive.h"
#include "Volumes/Volume.h"
#include "Volumes/VolumeKind.h"

#include <QList>
#include <QSet>
#include <QString>

#include <optional>

namespace mallowby {

// What the popover lists, in order: built from the store's volumes, the monitor's drives and the
// kinds the user shows. A value; the views only present it.
struct PopoverModel {
    QList<Volume> volumes;
    QList<Drive> drives;
    QSet<VolumeKind> shown;

    // One view of the list, keyed by a stable id.
    struct Entry {
        enum class Kind { driveCard, volumeRow, sectionLabel, networkCard, internalSection };
        Kind kind;
        QString key;
        std::optional<Drive> drive;  // a drive card's drive
        QList<Volume> volumes;       // a card's volumes, or a row's one volume
        QString title;               // a section label's title

        bool operator==(const Entry&) const = default;
    };

    bool operator==(const PopoverModel&) const = default;

    // Drives of kind external, whatever is shown.
    QList<Drive> externalDrives() const;
    // Empty when their kind is not shown.
    QList<Drive> diskImageDrives() const;
    QList<Drive> internalDrives() const;
    QList<Volume> networkVolumes() const;
    // The shown kind's volumes that no drive lists.
    QList<Volume> looseVolumes(VolumeKind kind) const;

    // The volumes a drive lists, in its order; ids without a volume are skipped.
    QList<Volume> volumesOf(const Drive& drive) const;
    // The first boot volume of a shown kind.
    std::optional<Volume> bootVolume() const;

    // The list's views: the external cards and rows, the disk images under their label, the
    // network card under its label, and the internal section.
    QList<Entry> entries() const;
    // What the internal section holds while expanded.
    QList<Entry> internalEntries() const;

    static QStringList keys(const QList<Entry>& entries);

private:
    QList<Drive> drivesOf(VolumeKind kind) const;
    void appendDrives(QList<Entry>& entries, const QList<Drive>& drives) const;
    void appendLoose(QList<Entry>& entries, VolumeKind kind) const;
};

} // namespace mallowby
