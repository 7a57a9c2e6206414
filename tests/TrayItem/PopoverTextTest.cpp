// The popover's model and texts, without widgets on screen.

#include "Popover/Cards/DriveCard.h"
#include "Popover/Cards/DriveIcon.h"
#include "Popover/List/EjectAllSummary.h"
#include "Popover/List/FooterView.h"
#include "Popover/List/HeaderView.h"
#include "Popover/List/InternalSection.h"
#include "Popover/PopoverModel.h"
#include "Popover/PopoverView.h"
#include "Popover/Cards/VolumeRow.h"

#include <QLocale>

#include <gtest/gtest.h>

using namespace mallowby;

namespace {

constexpr qint64 GB = 1'000'000'000;

using Kind = PopoverModel::Entry::Kind;

Volume volume(const QString& id, VolumeKind kind, std::optional<Space> space = std::nullopt, bool boot = false)
{
    Volume v;
    v.id = v.name = id;
    v.mountPath = QStringLiteral("/media/") + id;
    v.kind = kind;
    v.format = QStringLiteral("ext4");
    v.isBoot = boot;
    v.space = space;
    return v;
}

Drive drive(const QString& id, VolumeKind kind, QStringList volumeIDs, int members = 1)
{
    Drive d;
    d.id = id;
    d.name = id + QStringLiteral(" Disk");
    d.kind = kind;
    d.deviceProtocol = QStringLiteral("USB");
    for (int i = 0; i < members; ++i)
        d.members.append(BlockDevice{quint64(i + 1), QStringLiteral("sd%1").arg(QChar('b' + i))});
    d.volumeIDs = std::move(volumeIDs);
    d.readRate = 0;
    d.writeRate = 0;
    return d;
}

const QSet<VolumeKind> defaultShown{VolumeKind::external, VolumeKind::diskImage, VolumeKind::internal};

QList<Kind> kinds(const QList<PopoverModel::Entry>& entries)
{
    QList<Kind> result;
    for (const auto& entry : entries)
        result << entry.kind;
    return result;
}

class PopoverTextTest : public ::testing::Test {
protected:
    void SetUp() override { QLocale::setDefault(QLocale(QLocale::English, QLocale::UnitedStates)); }
};

} // namespace

TEST_F(PopoverTextTest, TheListHoldsOnlyWhatIsShownAndWhatNoDriveClaims)
{
    const Space home{500 * GB, 200 * GB, 200 * GB, false};
    PopoverModel model{{volume("root", VolumeKind::internal, home, true)},
                       {drive("1", VolumeKind::internal, {"root"})},
                       defaultShown};
    // Only internal drives: the internal section alone, and no external drive in the header.
    EXPECT_EQ(kinds(model.entries()), QList<Kind>{Kind::internalSection});
    EXPECT_TRUE(model.externalDrives().isEmpty());
    EXPECT_EQ(HeaderView::countText(0), "No external drives");
    EXPECT_EQ(HeaderView::countText(1), "1 external drive");
    EXPECT_EQ(HeaderView::countText(12), "12 external drives");
    EXPECT_EQ(InternalSection::bootSummary(model, ByteUnits::decimal), "root · 200 GB free");
    ASSERT_EQ(model.internalEntries().size(), 1);
    EXPECT_EQ(model.internalEntries().first().volumes.first().id, "root");

    // Internal not shown: no section at all, and no boot summary from a hidden kind.
    model.shown = {VolumeKind::external, VolumeKind::diskImage};
    EXPECT_TRUE(model.entries().isEmpty());
    EXPECT_EQ(InternalSection::bootSummary(model, ByteUnits::decimal), "");

    // A disk image volume the monitor tied to no drive still gets its label and a row; a drive's
    // volume ids without a volume are skipped; shares show only when network is shown.
    model = PopoverModel{{volume("stick", VolumeKind::external), volume("image", VolumeKind::diskImage),
                          volume("share", VolumeKind::network)},
                         {drive("7", VolumeKind::external, {"gone", "stick"})},
                         defaultShown};
    EXPECT_EQ(kinds(model.entries()), (QList<Kind>{Kind::driveCard, Kind::sectionLabel, Kind::volumeRow}));
    EXPECT_EQ(model.entries().at(1).title, "disk images");
    EXPECT_EQ(model.entries().at(2).volumes.first().id, "image");
    ASSERT_EQ(model.entries().first().volumes.size(), 1);
    EXPECT_EQ(model.entries().first().volumes.first().id, "stick");
    model.shown.insert(VolumeKind::network);
    EXPECT_EQ(PopoverModel::keys(model.entries()),
              (QStringList{"drive:7", "label:disk images", "volume:image", "label:network", "network"}));
    // External hidden: no external card, but the header still counts the drive.
    model.shown.remove(VolumeKind::external);
    EXPECT_EQ(PopoverModel::keys(model.entries()), (QStringList{"label:disk images", "volume:image", "label:network", "network"}));
    EXPECT_EQ(model.externalDrives().size(), 1);
}

TEST_F(PopoverTextTest, TheEjectAllSummaryNamesWhatItCanAndCountsTheRest)
{
    Ejector::Status failed;
    failed.target = EjectTarget{"2", "Backup", VolumeKind::external, {}, std::nullopt};
    failed.phase = Ejector::Phase::idle;
    failed.failure = EjectFailure::busy();
    const QMap<QString, Ejector::Status> statuses{{"2", failed}};

    EXPECT_EQ(EjectAllSummary::message({{"Stick"}, {"2"}}, statuses), "Ejected Stick. Backup couldn't be ejected.");
    EXPECT_EQ(EjectAllSummary::message({{"A", "B", "C"}, {}}, {}), "Ejected A, B, and C.");
    // The failed drive's status went away meanwhile: counted, not named.
    EXPECT_EQ(EjectAllSummary::message({{"Stick"}, {"2"}}, {}), "Ejected Stick. 1 couldn't be ejected.");
    EXPECT_EQ(EjectAllSummary::message({{}, {"2", "3"}}, statuses), "Backup couldn't be ejected.");
}

TEST_F(PopoverTextTest, TheListIsAtMostTheScreenLess140)
{
    EXPECT_EQ(PopoverView::maxListHeight(700), 560);
    EXPECT_EQ(PopoverView::maxListHeight(std::nullopt), 660);
    EXPECT_EQ(PopoverView::maxListHeight(100), 0);
    EXPECT_EQ(FooterView::versionText(""), "vdev");
    EXPECT_EQ(FooterView::versionText("1.2.0"), "v1.2.0");
}

TEST_F(PopoverTextTest, DriveCardSubtitleSymbolAndActivity)
{
    Drive raid = drive("1+2", VolumeKind::external, {"a"}, 2);
    raid.deviceProtocol = QStringLiteral("Thunderbolt");
    EXPECT_EQ(DriveCard::subtitle(raid, 1), "Thunderbolt · RAID of 2 · 1 volume");
    Drive single = drive("1", VolumeKind::external, {});
    EXPECT_EQ(DriveCard::subtitle(single, 2), "USB · 2 volumes");
    EXPECT_EQ(DriveCard::subtitle(single, 0), "USB · 0 volumes");
    single.deviceProtocol.reset();
    EXPECT_EQ(DriveCard::subtitle(single, 1), "1 volume");
    EXPECT_EQ(DriveCard::subtitle(drive("3", VolumeKind::internal, {}), 3), "Internal · 3 volumes");
    EXPECT_EQ(DriveCard::subtitle(drive("4", VolumeKind::diskImage, {}), 1), "Disk image · 1 volume");

    EXPECT_EQ(DriveIcon::symbolFor(drive("3", VolumeKind::internal, {})), "internaldrive");
    Drive card = single;
    card.deviceProtocol = QStringLiteral("Secure Digital");
    EXPECT_EQ(DriveIcon::symbolFor(card), "sdcard");
    EXPECT_EQ(DriveIcon::symbolFor(single), "externaldrive");

    // Either rate missing: no statistics at all.
    Drive busy = drive("5", VolumeKind::external, {});
    busy.readRate = 2'000'000;
    busy.writeRate = 0;
    busy.session = {std::numeric_limits<quint64>::max(), 1500};
    EXPECT_EQ(DriveCard::activityLabel(busy, ByteUnits::decimal),
              "Reading 2.0 megabytes per second, Writing 0 bytes per second, session R 9223 PB W 1.5 KB");
    busy.writeRate.reset();
    EXPECT_EQ(DriveCard::activityLabel(busy, ByteUnits::decimal), "No I/O statistics from this device");
}

TEST_F(PopoverTextTest, VolumeRowTextsForLowStaleUnreadAndPurgeable)
{
    const LowSpaceThreshold tenPercent = LowSpaceThreshold::percent(10);
    Volume backup = volume("Backup", VolumeKind::external, Space{500 * GB, 42 * GB / 10, 42 * GB / 10, false});
    backup.format = QStringLiteral("vfat");
    EXPECT_TRUE(VolumeRow::isLow(backup, tenPercent));
    EXPECT_EQ(VolumeRow::accessibleLabel(backup, ByteUnits::decimal, tenPercent),
              "Backup, FAT, 4.2 gigabytes free of 500 gigabytes, 99% used, low on space");
    EXPECT_EQ(VolumeRow::freeText(backup, ByteUnits::decimal), "4.2 GB free");
    EXPECT_EQ(VolumeRow::helpText(backup, ByteUnits::decimal), "496 GB used of 500 GB");

    // A read that timed out: the last figures, flagged in the tooltip and the spoken label.
    backup.space->isStale = true;
    EXPECT_EQ(VolumeRow::helpText(backup, ByteUnits::decimal), "496 GB used of 500 GB · not responding, last value shown");
    EXPECT_TRUE(VolumeRow::accessibleLabel(backup, ByteUnits::decimal, tenPercent).endsWith(", low on space, not responding"));

    // Purgeable space: named from 5 GB on, not at 0.9 GB.
    Volume photos = volume("Photos", VolumeKind::external, Space{100 * GB, 20 * GB, 15 * GB, false});
    EXPECT_EQ(VolumeRow::helpText(photos, ByteUnits::decimal), "80.0 GB used of 100 GB · 15.0 GB free without purging");
    photos.space->availableStrict = 20 * GB - 9 * GB / 10;
    EXPECT_EQ(VolumeRow::helpText(photos, ByteUnits::decimal), "80.0 GB used of 100 GB");
    EXPECT_FALSE(VolumeRow::isLow(photos, tenPercent));

    // Not read yet: "reading…", never low.
    const Volume fresh = volume("Fresh", VolumeKind::external);
    EXPECT_EQ(VolumeRow::freeText(fresh, ByteUnits::decimal), "reading…");
    EXPECT_EQ(VolumeRow::accessibleLabel(fresh, ByteUnits::decimal, tenPercent), "Fresh, reading");
    EXPECT_EQ(VolumeRow::helpText(fresh, ByteUnits::decimal), "");
    EXPECT_FALSE(VolumeRow::isLow(fresh, LowSpaceThreshold::gigabytes(1000)));
    // A volume of no capacity is never low.
    EXPECT_FALSE(VolumeRow::isLow(volume("Zero", VolumeKind::external, Space{0, 0, 0, false}), tenPercent));
}
