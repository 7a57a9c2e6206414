// The card's status line while an eject writes out cached data, read the way a screen reader does.

#include "TrayRig.h"

#include "Popover/Cards/DriveCard.h"
#include "Popover/Cards/EjectStatusView.h"
#include "Popover/Cards/NetworkCard.h"
#include "Popover/Cards/StatusLine.h"

#include "support/FlushRig.h"

using namespace mallowby;
using namespace mallowby::test;
using namespace std::chrono_literals;

namespace {

constexpr quint64 MB = FlushRig::MB;

class FlushStatusTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_TRUE(rig.isReady());
        rig.setPending(300 * MB);
        rig.setWritten(0);
    }
    void TearDown() override
    {
        rig.release();
        TestEnvironment::waitUntil([&] { return rig.ejector->statuses().isEmpty(); }, 2s);
    }

    // Half a second of the drive (and the share) writing `bytes` more, out of the cache.
    void write(quint64 bytes)
    {
        written += bytes;
        pending -= bytes;
        rig.setWritten(written);
        rig.setShareWritten(written);
        rig.setPending(pending);
        clock.advance(500ms);
    }
    static bool shows(QWidget& card, const QString& text)
    {
        return findNamed(QAccessible::queryAccessibleInterface(&card), text) != nullptr;
    }

    ManualClock clock;
    FlushRig rig{clock};
    QTemporaryDir dir;
    QSettings settings{dir.filePath("mallowby.conf"), QSettings::IniFormat};
    Preferences preferences{settings};
    quint64 written = 0;
    quint64 pending = 300 * MB;
};

} // namespace

TEST_F(FlushStatusTest, TheDriveCardTellsWhatIsLeftToWriteOverABarWhileTheDriveWrites)
{
    Drive drive;
    drive.id = rig.stick.id;
    drive.name = rig.stick.name;
    drive.kind = VolumeKind::external;
    drive.members = rig.stick.members;
    DriveCard card(*rig.ejector, preferences, true);
    card.present(drive, {});
    card.show();
    StatusLine* line = card.findChild<EjectStatusView*>()->busyLine();

    rig.eject(rig.stick);
    card.present(drive, {});
    EXPECT_TRUE(shows(card, "Ejecting…"));
    EXPECT_FALSE(line->progress());

    write(20 * MB);
    write(20 * MB);
    card.present(drive, {});
    EXPECT_TRUE(shows(card, "Ejecting… writing 260 MB, about 7 s"));
    ASSERT_TRUE(line->progress());
    EXPECT_NEAR(*line->progress(), 40.0 / 300, 1e-3);
    preferences.setUnits(ByteUnits::binary);
    card.present(drive, {});
    EXPECT_TRUE(shows(card, "Ejecting… writing 248 MiB, about 7 s"));

    rig.release();
    ASSERT_TRUE(TestEnvironment::waitUntil([&] { return rig.ejected->has_value(); }, 2s));
    card.present(drive, {});
    EXPECT_FALSE(shows(card, "Ejecting…"));
}

TEST_F(FlushStatusTest, TheNetworkCardTellsItForAShareWhoseUnmountFlushes)
{
    Volume share;
    share.id = share.mountPath = QStringLiteral("/mnt/nfs");
    share.name = QStringLiteral("nfs");
    share.kind = VolumeKind::network;
    share.format = QStringLiteral("nfs4");
    NetworkCard card(*rig.ejector, preferences);
    card.present({share});
    card.show();

    rig.eject(EjectTarget::fromNetworkVolume(share));
    write(30 * MB);
    write(30 * MB);
    card.present({share});
    EXPECT_TRUE(shows(card, "Unmounting… writing 240 MB, about 4 s"));
}

// The write-out comes after the mount has left the table: the card stays until the eject answers.
class EjectingCardTest : public TrayRig {};

TEST_F(EjectingCardTest, ADriveWhoseMountsLeftStaysOnShowWhileItsEjectRuns)
{
    start(stickAndHome);
    controller->showPopover(std::nullopt, false);
    settle();
    const auto named = [&](const QString& name) { return findNamed(QAccessible::queryAccessibleInterface(controller->popover()), name); };
    const QString eject = QStringLiteral("Eject ") + driveOf("/run/media/me/STICK")->name;
    disks->hangDisks = true;
    QAccessibleInterface* button = named(eject);
    ASSERT_NE(button, nullptr);
    button->actionInterface()->doAction(QAccessibleActionInterface::pressAction());
    settle();
    remount({{"/home", "/dev/nvme0n1p2"}});
    EXPECT_EQ(driveOf("/run/media/me/STICK"), nullptr);
    settle();
    EXPECT_NE(named("Ejecting…"), nullptr) << "the card left while the drive is still written";
    disks->release();
    settle();
    EXPECT_EQ(named("Ejecting…"), nullptr);
    EXPECT_EQ(named(eject), nullptr);
}
