// A card's status line while an eject writes out cached data, read the way a screen reader does.

#include "TrayRig.h"

#include "Popover/Cards/DriveCard.h"
#include "Popover/Cards/EjectStatusView.h"
#include "Popover/Cards/NetworkCard.h"
#include "Popover/Cards/StatusLine.h"

#include "support/FlushRig.h"

using namespace mallowby;
using namespace mallowby::test;

TEST(FlushStatus, TheDriveAndNetworkCardsTellWhatIsLeftToWriteWhileTheyWrite)
{
    constexpr quint64 MB = FlushRig::MB;
    ManualClock clock;
    FlushRig rig{clock};
    ASSERT_TRUE(rig.isReady());
    QTemporaryDir dir;
    QSettings settings{dir.filePath("mallowby.conf"), QSettings::IniFormat};
    Preferences preferences{settings};
    Drive drive;
    drive.id = rig.stick.id;
    drive.name = rig.stick.name;
    drive.kind = VolumeKind::external;
    drive.members = rig.stick.members;
    Volume share;
    share.id = share.mountPath = "/mnt/nfs";
    share.name = "nfs";
    share.kind = VolumeKind::network;
    share.format = "nfs4";
    DriveCard driveCard(*rig.ejector, preferences, true);
    NetworkCard shareCard(*rig.ejector, preferences);
    const auto present = [&] {
        driveCard.present(drive, {});
        shareCard.present({share});
    };
    const auto shows = [](QWidget& card, const QString& text) { return findNamed(QAccessible::queryAccessibleInterface(&card), text) != nullptr; };
    present();
    driveCard.show();
    shareCard.show();
    StatusLine* line = driveCard.findChild<EjectStatusView*>()->busyLine();

    rig.setPending(300 * MB);
    rig.setWritten(0);
    rig.eject(rig.stick);
    rig.eject(EjectTarget::fromNetworkVolume(share));
    present();
    EXPECT_TRUE(shows(driveCard, "Ejecting…"));
    EXPECT_FALSE(line->progress());
    // Half a second after another, 20 MB more written out of the cache each.
    for (quint64 written : {20 * MB, 40 * MB}) {
        rig.setWritten(written);
        rig.setShareWritten(written);
        rig.setPending(300 * MB - written);
        clock.advance(500ms);
    }
    present();
    EXPECT_TRUE(shows(driveCard, "Ejecting… writing 260 MB, about 7 s"));
    EXPECT_TRUE(shows(shareCard, "Unmounting… writing 260 MB, about 7 s"));
    ASSERT_TRUE(line->progress());
    EXPECT_NEAR(*line->progress(), 40.0 / 300, 1e-3);
    preferences.setUnits(ByteUnits::binary);
    present();
    EXPECT_TRUE(shows(driveCard, "Ejecting… writing 248 MiB, about 7 s"));

    rig.release();
    ASSERT_TRUE(TestEnvironment::waitUntil([&] { return rig.ejected->has_value(); }, 5s));
    present();
    EXPECT_FALSE(shows(driveCard, "Ejecting…"));
}
