// The popover built by the tray item over the real store, monitor and ejector, and its cards over
// an ejector that writes out cached data, driven the way a screen reader does: controls are found
// by their accessible names and pressed.

#include "TrayRig.h"

#include "Popover/Blockers/BlockersView.h"
#include "Popover/Cards/DriveCard.h"
#include "Popover/Cards/EjectStatusView.h"
#include "Popover/Cards/NetworkCard.h"
#include "Popover/Cards/StatusLine.h"
#include "Popover/Controls/PopoverButton.h"
#include "Popover/PopoverState.h"
#include "Popover/PopoverView.h"

#include "support/FlushRig.h"

#include <QApplication>
#include <QMenu>
#include <QScrollArea>
#include <QScrollBar>
#include <QTest>

using namespace mallowby;
using namespace mallowby::test;

namespace {

// Two drives, the home disk, two more USB disks on the stick's bus (a list that needs scrolling)
// and a share.
class PopoverViewTest : public TrayRig {
protected:
    void SetUp() override
    {
        TrayRig::SetUp();
        const QString bus = "devices/pci0000:00/0000:00:14.0/usb2/2-1/2-1:1.0/host6/target6:0:0/6:0:0:0/block";
        QList<std::pair<QString, QString>> mounts = twoDrives;
        for (int i = 0; i < 2; ++i) {
            const QString disk = QStringLiteral("sd%1").arg(QChar('x' + i)), path = QStringLiteral("/run/media/me/EXTRA%1").arg(i);
            tree->addDisk(disk, QStringLiteral("8:%1").arg(200 + 16 * i), bus);
            tree->setAttribute(disk, "removable", "1\n");
            setSpace(path, {64 * GB, 10 * GB, 10 * GB, false});
            mounts.append({path, "/dev/" + disk});
        }
        settings->setValue("volumesShown", QStringList{"external", "internal", "network"});
        start(mounts);
        world.fake.table->mounts.append(VolumeStore::Mount{"/mnt/media", "//nas/media", "cifs", false, 0, false});
        setSpace("/mnt/media", {8000 * GB, 2000 * GB, 2000 * GB, false});
        store->scheduleRebuild();
        settle();
    }
    void open()
    {
        controller->showPopover(std::nullopt, false);
        settle();
        ASSERT_TRUE(controller->isPopoverShown());
    }
    void close()
    {
        controller->popover()->performClose();
        settle();
    }
    PopoverView* view() const { return qobject_cast<PopoverView*>(controller->popover()->content()); }
    QScrollBar* scroll() const { return view()->listArea()->verticalScrollBar(); }
    DriveCard* cardOf(const QString& path) const
    {
        const Drive* drive = driveOf(path);
        return drive ? qobject_cast<DriveCard*>(view()->viewForTarget(drive->id)) : nullptr;
    }
    // The blockers panels a user sees on a card (a removed one is deleted on a later turn).
    static qsizetype panelsOn(const QWidget* card)
    {
        const QList<BlockersView*> panels = card->findChildren<BlockersView*>();
        return std::count_if(panels.cbegin(), panels.cend(), [card](const BlockersView* panel) { return panel->isVisibleTo(card); });
    }
    // The texts of a menu's actions.
    static QStringList texts(const QList<QAction*>& actions)
    {
        QStringList texts;
        for (const QAction* action : actions)
            texts << action->text();
        return texts;
    }
};

} // namespace

TEST_F(PopoverViewTest, CardsSamplesEjectsAndTheSettingsPageAsAScreenReaderMeetsThem)
{
    open();
    const Drive stick = *driveOf("/run/media/me/STICK");
    const QString eject = "Eject " + stick.name, stickSpace = "STICK, EXT4, %1 gigabytes free of 32.0 gigabytes, %2% used";
    DriveCard* card = cardOf("/run/media/me/STICK");
    ASSERT_NE(card, nullptr);
    // Internal drives are listed but not ejectable, and their section starts closed.
    EXPECT_EQ(inPopover("Eject " + driveOf("/home")->name), nullptr);
    EXPECT_EQ(inPopover("Internal disk, ")->text(QAccessible::Value), "collapsed");
    // Every control is on the Tab chain.
    QSet<QWidget*> chain;
    for (QWidget* w = controller->popover()->nextInFocusChain(); w != controller->popover(); w = w->nextInFocusChain())
        if (w->focusPolicy() & Qt::TabFocus)
            chain.insert(w);
    for (const QString& name : {eject, "More for " + stick.name, QString("eject all"), QString("Internal disk, "), QString("settings"), QString("quit")})
        EXPECT_TRUE(inPopover(name) && chain.contains(qobject_cast<QWidget*>(inPopover(name)->object()))) << name.toStdString();

    // A sample and a space reading update the card in place, keeping the list's scroll and the
    // keyboard focus on the card's eject button.
    const auto shownOnCard = [&](const QString& text) { return findNamed(QAccessible::queryAccessibleInterface(card), text) != nullptr; };
    const auto activity = [&] { return DriveCard::activityLabel(*driveOf("/run/media/me/STICK"), ByteUnits::decimal); };
    const QString before = activity();
    ASSERT_TRUE(shownOnCard(before));
    auto* ejectButton = qobject_cast<QWidget*>(inPopover(eject)->object());
    controller->popover()->activateWindow();
    ejectButton->setFocus(Qt::TabFocusReason);
    ASSERT_GT(scroll()->maximum(), 10) << "the fixture list should need scrolling";
    scroll()->setValue(7);
    tree->setCounters("sdb", {2'000'000, 512 * 6000});
    clock.advance(1s);
    settle();
    EXPECT_TRUE(activity().startsWith("Reading 2.0 megabytes per second, Writing 3.1 megabytes per second")) << activity().toStdString();
    EXPECT_TRUE(shownOnCard(activity()) && !shownOnCard(before));
    reread("/run/media/me/STICK", {32 * GB, 20 * GB, 20 * GB, false});
    EXPECT_NE(inPopover(stickSpace.arg("20.0", "38")), nullptr);
    EXPECT_EQ(cardOf("/run/media/me/STICK"), card);
    EXPECT_EQ(scroll()->value(), 7);
    EXPECT_EQ(QApplication::focusWidget(), ejectButton);
    // Opened again, the kept card shows what changed while it was closed, from the top.
    close();
    reread("/run/media/me/STICK", {32 * GB, 24 * GB, 24 * GB, false});
    tree->setCounters("sdb", {6'000'000, 512 * 6000});
    clock.advance(1s);
    settle();
    open();
    EXPECT_EQ(cardOf("/run/media/me/STICK"), card);
    EXPECT_NE(inPopover(stickSpace.arg("24.0", "25")), nullptr);
    EXPECT_TRUE(shownOnCard(activity()));
    EXPECT_EQ(scroll()->value(), 0);

    // Refused: the same card, highlighted, with the blockers panel of its drive (which scans as it
    // appears) until the status goes; "Who's Using This?" from the card's menu scans without ejecting.
    const auto cardState = [&] {
        settle();
        const Ejector::Status* status = ejector->status(stick.id);
        return QStringList{cardOf("/run/media/me/STICK") == card ? "same card" : "another card", card->isHighlighted() ? "highlighted" : "",
                           QString::number(panelsOn(card)) + " panels", status && status->failure ? "failure" : "",
                           status && status->report ? "report" : ""}.join(' ').simplified();
    };
    EXPECT_EQ(cardState(), "same card 0 panels");
    disks->answers.insert("sdb", Dissent{Dissent::notPermitted, QStringLiteral("not allowed")});
    ASSERT_TRUE(pressInPopover(eject));
    ASSERT_EQ(cardState(), "same card highlighted 1 panels failure report");
    EXPECT_EQ(ejector->status(stick.id)->target, EjectTarget::fromDrive(stick));
    EXPECT_EQ(card->findChild<BlockersView*>()->targetID(), stick.id);
    ejector->dismiss(stick.id);
    EXPECT_EQ(cardState(), "same card 0 panels");
    disks->answers.clear();
    auto* more = qobject_cast<PopoverButton*>(inPopover("More for " + stick.name)->object());
    ASSERT_TRUE(more && more->popupMenu());
    EXPECT_EQ(texts(more->popupMenu()->actions()), (QStringList{"Eject", "Who's Using This?"}));
    more->popupMenu()->actions().at(1)->trigger();
    EXPECT_EQ(cardState(), "same card 1 panels report");
    ejector->dismiss(stick.id);
    // The internal section opens from its header and says so.
    ASSERT_TRUE(pressInPopover("Internal disk, "));
    EXPECT_EQ(inPopover("Internal disk, ")->text(QAccessible::Value), "expanded");
    EXPECT_TRUE(controller->popoverState().internalExpanded());
    EXPECT_NE(cardOf("/home"), nullptr);
    close();

    // "Settings…" in the tray menu opens the popover on the page; the footer's toggle brings the
    // list; Ctrl+, swaps to the page and back, the list keeping its place; Escape closes.
    std::unique_ptr<QMenu> menu(controller->buildMenu());
    menu->actions().at(texts(menu->actions()).indexOf("Settings…"))->trigger();
    settle();
    ASSERT_TRUE(controller->isPopoverShown());
    EXPECT_TRUE(controller->popoverState().showingSettings());
    const auto showsPage = [&] { return inPopover("MENU BAR") && inPopover("done"); };
    const auto showsList = [&] { return !inPopover("MENU BAR") && inPopover("settings"); };
    EXPECT_TRUE(showsPage());
    ASSERT_TRUE(pressInPopover("done"));
    EXPECT_TRUE(showsList());
    scroll()->setValue(9);
    QApplication::setActiveWindow(controller->popover());
    for (const bool page : {true, false}) {
        QTest::keyClick(view(), Qt::Key_Comma, Qt::ControlModifier);
        settle();
        EXPECT_EQ(showsPage(), page);
        EXPECT_EQ(showsList(), !page);
    }
    EXPECT_EQ(scroll()->value(), 9);
    QTest::keyClick(view(), Qt::Key_Escape);
    EXPECT_FALSE(controller->isPopoverShown());
}

TEST_F(PopoverViewTest, EjectAllWithAFailureAndEjectsThatOutliveTheirMounts)
{
    const QList<EjectTarget> targets = controller->externalTargets();
    ASSERT_EQ(targets.size(), 4);
    // The last drive refuses, so its card is not at the top already.
    disks->answers.insert(targets.last().members.first().bsdName, Dissent{Dissent::notPermitted, std::nullopt});
    const QString summary = QStringLiteral("Ejected %1, %2, and %3. %4 couldn't be ejected.")
                                .arg(targets[0].name, targets[1].name, targets[2].name, targets[3].name);
    // From the popover's button: the summary, scrolled to the failed card, until dismissed.
    open();
    ASSERT_TRUE(pressInPopover("eject all"));
    ASSERT_TRUE(TestEnvironment::waitUntil([&] { return controller->popoverState().ejectAllResult().has_value(); }, 5s));
    settle();
    EXPECT_NE(inPopover(summary), nullptr);
    const int top = view()->viewForTarget(targets.last().id)->mapTo(view()->listArea()->widget(), QPoint(0, 0)).y();
    EXPECT_GT(top, 0);
    EXPECT_EQ(scroll()->value(), std::min(top, scroll()->maximum()));
    EXPECT_GT(scroll()->value(), 0);
    EXPECT_EQ(controller->popoverState().focus(), std::nullopt);
    ASSERT_TRUE(pressInPopover("Dismiss"));
    EXPECT_EQ(controller->popoverState().ejectAllResult(), std::nullopt);
    EXPECT_EQ(inPopover(summary), nullptr);
    close();
    // From the tray menu: the popover opens, click-away, on the failed drive; closing drops the summary.
    controller->ejectAll(targets);
    ASSERT_TRUE(TestEnvironment::waitUntil([&] { return controller->isPopoverShown(); }, 5s));
    EXPECT_EQ(controller->popoverState().focus(), targets.last().id);
    EXPECT_EQ(controller->popover()->behavior(), PopoverWindow::Behavior::transient);
    ASSERT_TRUE(controller->popoverState().ejectAllResult().has_value());
    EXPECT_EQ(controller->popoverState().ejectAllResult()->failed, QStringList{targets.last().id});
    EXPECT_FALSE(controller->popoverState().showingSettings());
    controller->popover()->performClose();
    EXPECT_EQ(controller->popoverState().ejectAllResult(), std::nullopt);
    settle();
    // All ejected: nothing opens.
    disks->answers.clear();
    controller->ejectAll({targets.last()});
    settle();
    clock.advance(1s);
    settle();
    EXPECT_EQ(controller->popover(), nullptr);

    // The share's unmount shows under its row, whose menu offers it with the scan.
    disks->holdShares = disks->holdDisks = true;
    open();
    EXPECT_EQ(inPopover("Unmounting…"), nullptr);
    EXPECT_EQ(inPopover("Ejecting…"), nullptr);
    ASSERT_TRUE(pressInPopover("Unmount media"));
    const Ejector::Status* status = ejector->status(EjectTarget::fromNetworkVolume(*volumeAt("/mnt/media")).id);
    ASSERT_NE(status, nullptr);
    EXPECT_EQ(status->phase, Ejector::Phase::ejecting);
    EXPECT_EQ(status->target.networkMountPath, std::optional<QString>("/mnt/media"));
    EXPECT_NE(inPopover("Unmounting…"), nullptr);
    EXPECT_EQ(texts(view()->viewForTarget(status->target.id)->actions()), (QStringList{"Unmount", "Who's Using This?"}));
    // The stick's mounts leave while its eject still writes: the card stays until it answers.
    const QString eject = "Eject " + driveOf("/run/media/me/STICK")->name;
    ASSERT_TRUE(pressInPopover(eject));
    world.fake.table->mounts.removeIf([](const VolumeStore::Mount& mount) { return mount.path == "/run/media/me/STICK"; });
    store->scheduleRebuild();
    settle();
    ASSERT_EQ(driveOf("/run/media/me/STICK"), nullptr);
    EXPECT_NE(inPopover("Ejecting…"), nullptr) << "the card left while the drive is still written";
    disks->release();
    settle();
    EXPECT_EQ(inPopover("Ejecting…"), nullptr);
    EXPECT_EQ(inPopover(eject), nullptr);
}

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
