// The popover's model and texts, without widgets on screen.

#include "Popover/Cards/DriveCard.h"
#include "Popover/Cards/DriveIcon.h"
#include "Popover/Cards/VolumeRow.h"
#include "Popover/List/EjectAllSummary.h"
#include "Popover/List/FooterView.h"
#include "Popover/List/InternalSection.h"
#include "Popover/PopoverModel.h"
#include "Popover/PopoverView.h"

#include <QLocale>

#include <gtest/gtest.h>

using namespace mallowby;

namespace {

constexpr qint64 GB = 1'000'000'000;

Volume volume(const QString& id, VolumeKind kind, std::optional<Space> space = std::nullopt, bool boot = false)
{
    Volume v;
    v.id = v.name = id;
    v.mountPath = "/media/" + id;
    v.kind = kind;
    v.format = "ext4";
    v.isBoot = boot;
    v.space = space;
    return v;
}

Drive drive(const QString& id, VolumeKind kind, QStringList volumeIDs, std::optional<QString> protocol = "USB", int members = 1)
{
    Drive d;
    d.id = id;
    d.name = id + " Disk";
    d.deviceProtocol = protocol;
    d.kind = kind;
    d.volumeIDs = volumeIDs;
    d.readRate = d.writeRate = 0;
    for (int i = 0; i < members; ++i)
        d.members.append(BlockDevice{quint64(i + 1), QStringLiteral("sd%1").arg(QChar('b' + i))});
    return d;
}

} // namespace

TEST(PopoverText, TheListHoldsOnlyWhatIsShownAndWhatNoDriveClaims)
{
    const QSet<VolumeKind> defaultShown{VolumeKind::external, VolumeKind::diskImage, VolumeKind::internal};
    PopoverModel model{{volume("root", VolumeKind::internal, Space{500 * GB, 200 * GB, 200 * GB, false}, true)},
                       {drive("1", VolumeKind::internal, {"root"})}, defaultShown};
    // Only internal drives: the internal section alone, and no external drive in the header.
    EXPECT_EQ(PopoverModel::keys(model.entries()).size(), 1);
    EXPECT_EQ(model.entries().first().kind, PopoverModel::Entry::Kind::internalSection);
    EXPECT_TRUE(model.externalDrives().isEmpty());
    EXPECT_EQ(InternalSection::bootSummary(model, ByteUnits::decimal), "root · 200 GB free");
    EXPECT_EQ(model.internalEntries().first().volumes.first().id, "root");
    // Internal not shown: no section at all, and no boot summary from a hidden kind.
    model.shown = {VolumeKind::external, VolumeKind::diskImage};
    EXPECT_TRUE(model.entries().isEmpty());
    EXPECT_EQ(InternalSection::bootSummary(model, ByteUnits::decimal), "");

    // A disk image no drive claims still gets its label and a row; a drive's volume ids without a
    // volume are skipped; shares show only when network is shown.
    model = PopoverModel{{volume("stick", VolumeKind::external), volume("image", VolumeKind::diskImage), volume("share", VolumeKind::network)},
                         {drive("7", VolumeKind::external, {"gone", "stick"})}, defaultShown};
    EXPECT_EQ(PopoverModel::keys(model.entries()), (QStringList{"drive:7", "label:disk images", "volume:image"}));
    EXPECT_EQ(model.entries().at(1).title, "disk images");
    EXPECT_EQ(model.entries().first().volumes, QList<Volume>{volume("stick", VolumeKind::external)});
    model.shown.insert(VolumeKind::network);
    EXPECT_EQ(PopoverModel::keys(model.entries()), (QStringList{"drive:7", "label:disk images", "volume:image", "label:network", "network"}));
    // External hidden: no external card, but the header still counts the drive.
    model.shown.remove(VolumeKind::external);
    EXPECT_EQ(PopoverModel::keys(model.entries()), (QStringList{"label:disk images", "volume:image", "label:network", "network"}));
    EXPECT_EQ(model.externalDrives().size(), 1);
}

TEST(PopoverText, SummaryCardAndRowTexts)
{
    QLocale::setDefault(QLocale(QLocale::English, QLocale::UnitedStates));
    Drive raid = drive("1+2", VolumeKind::external, {"a"}, "Thunderbolt", 2);
    Drive busy = drive("5", VolumeKind::external, {});
    busy.readRate = 2'000'000;
    busy.session = {std::numeric_limits<quint64>::max(), 1500};
    Drive silent = busy;
    silent.writeRate.reset();  // either rate missing: no statistics at all
    const LowSpaceThreshold tenPercent = LowSpaceThreshold::percent(10);
    Volume backup = volume("Backup", VolumeKind::external, Space{500 * GB, 42 * GB / 10, 42 * GB / 10, false});
    backup.format = "vfat";
    Volume stale = backup;
    stale.space->isStale = true;  // a read that timed out: the last figures, flagged
    Volume photos = volume("Photos", VolumeKind::external, Space{100 * GB, 20 * GB, 15 * GB, false});
    Volume littlePurgeable = photos;
    littlePurgeable.space->availableStrict = 20 * GB - 9 * GB / 10;
    const Volume fresh = volume("Fresh", VolumeKind::external);
    const QMap<QString, Ejector::Status> statuses{
        {"2", Ejector::Status{.target = {"2", "Backup", VolumeKind::external, {}, std::nullopt}, .phase = Ejector::Phase::idle, .failure = EjectFailure::busy()}}};

    const std::pair<QString, QString> rows[] = {
        {EjectAllSummary::message({{"Stick"}, {"2"}}, statuses), "Ejected Stick. Backup couldn't be ejected."},
        {EjectAllSummary::message({{"A", "B", "C"}, {}}, {}), "Ejected A, B, and C."},
        {EjectAllSummary::message({{"Stick"}, {"2"}}, {}), "Ejected Stick. 1 couldn't be ejected."},  // status gone meanwhile
        {EjectAllSummary::message({{}, {"2", "3"}}, statuses), "Backup couldn't be ejected."},
        {QString::number(PopoverView::maxListHeight(700)) + " " + QString::number(PopoverView::maxListHeight(std::nullopt)) + " "
             + QString::number(PopoverView::maxListHeight(100)), "560 660 0"},
        {FooterView::versionText("") + " " + FooterView::versionText("1.2.0"), "vdev v1.2.0"},
        {DriveCard::subtitle(raid, 1), "Thunderbolt · RAID of 2 · 1 volume"},
        {DriveCard::subtitle(drive("1", VolumeKind::external, {}), 2), "USB · 2 volumes"},
        {DriveCard::subtitle(drive("1", VolumeKind::external, {}), 0), "USB · 0 volumes"},
        {DriveCard::subtitle(drive("1", VolumeKind::external, {}, std::nullopt), 1), "1 volume"},
        {DriveCard::subtitle(drive("3", VolumeKind::internal, {}), 3), "Internal · 3 volumes"},
        {DriveCard::subtitle(drive("4", VolumeKind::diskImage, {}), 1), "Disk image · 1 volume"},
        {DriveIcon::symbolFor(drive("3", VolumeKind::internal, {})), "internaldrive"},
        {DriveIcon::symbolFor(drive("1", VolumeKind::external, {}, "Secure Digital")), "sdcard"},
        {DriveIcon::symbolFor(drive("1", VolumeKind::external, {}, std::nullopt)), "externaldrive"},
        {DriveCard::activityLabel(busy, ByteUnits::decimal), "Reading 2.0 megabytes per second, Writing 0 bytes per second, session R 9223 PB W 1.5 KB"},
        {DriveCard::activityLabel(silent, ByteUnits::decimal), "No I/O statistics from this device"},
        {VolumeRow::accessibleLabel(backup, ByteUnits::decimal, tenPercent), "Backup, FAT, 4.2 gigabytes free of 500 gigabytes, 99% used, low on space"},
        {VolumeRow::freeText(backup, ByteUnits::decimal), "4.2 GB free"},
        {VolumeRow::helpText(backup, ByteUnits::decimal), "496 GB used of 500 GB"},
        {VolumeRow::helpText(stale, ByteUnits::decimal), "496 GB used of 500 GB · not responding, last value shown"},
        {VolumeRow::accessibleLabel(stale, ByteUnits::decimal, tenPercent).section(", ", -2), "low on space, not responding"},
        // Purgeable space: named from 5 GB on, not at 0.9 GB.
        {VolumeRow::helpText(photos, ByteUnits::decimal), "80.0 GB used of 100 GB · 15.0 GB free without purging"},
        {VolumeRow::helpText(littlePurgeable, ByteUnits::decimal), "80.0 GB used of 100 GB"},
        {VolumeRow::freeText(fresh, ByteUnits::decimal), "reading…"},
        {VolumeRow::accessibleLabel(fresh, ByteUnits::decimal, tenPercent), "Fresh, reading"},
        {VolumeRow::helpText(fresh, ByteUnits::decimal), ""},
    };
    for (const auto& [text, expected] : rows)
        EXPECT_EQ(text, expected);
    // Low: under the threshold; never without figures or capacity.
    EXPECT_TRUE(VolumeRow::isLow(backup, tenPercent));
    EXPECT_FALSE(VolumeRow::isLow(littlePurgeable, tenPercent));
    EXPECT_FALSE(VolumeRow::isLow(fresh, LowSpaceThreshold::gigabytes(1000)));
    EXPECT_FALSE(VolumeRow::isLow(volume("Zero", VolumeKind::external, Space{0, 0, 0, false}), tenPercent));
}
