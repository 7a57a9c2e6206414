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

// Two drives, the home disk and two more USB disks on the stick's bus: a list that needs scrolling.
class PopoverViewTest : public TrayRig {
protected:
    void SetUp() override
    {
        TrayRig::SetUp();
        const QString bus = "devices/pci0000:00/0000:00:14.0/usb2/2-1/2-1:1.0/host6/target6:0:0/6:0:0:0/block";
        for (int i = 0; i < 2; ++i) {
            const QString disk = QStringLiteral("sd%1").arg(QChar('x' + i)), path = QStringLiteral("/run/media/me/EXTRA%1").arg(i);
            tree->addDisk(disk, QStringLiteral("8:%1").arg(200 + 16 * i), bus);
            tree->setAttribute(disk, "removable", "1\n");
            setSpace(path, {64 * GB, 10 * GB, 10 * GB, false});
            mounts.append({path, "/dev/" + disk});
        }
    }
    void open()
    {
        controller->showPopover(std::nullopt, false);
        settle();
        ASSERT_TRUE(controller->isPopoverShown());
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

    QList<std::pair<QString, QString>> mounts = twoDrives;
};

} // namespace

TEST_F(PopoverViewTest, EjectFromACardReachesTheEjectorAndAFailureShowsOnTheCard)
{
    start(mounts);
    open();
    const Drive stick = *driveOf("/run/media/me/STICK");
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
    for (const QString& name : {"Eject " + stick.name, "More for " + stick.name, QString("eject all"), QString("Internal disk, "),
                                QString("settings"), QString("quit")})
        EXPECT_TRUE(inPopover(name) && chain.contains(qobject_cast<QWidget*>(inPopover(name)->object()))) << name.toStdString();

    // Refused: the same card, highlighted, with the blockers panel of its drive until the status goes.
    EXPECT_EQ(panelsOn(card), 0);
    disks->refusals.insert("sdb", Dissent{Dissent::notPermitted, QStringLiteral("not allowed")});
    ASSERT_TRUE(pressInPopover("Eject " + stick.name));
    ASSERT_TRUE(ejector->status(stick.id) && ejector->status(stick.id)->failure);
    EXPECT_EQ(ejector->status(stick.id)->target, EjectTarget::fromDrive(stick));
    EXPECT_EQ(cardOf("/run/media/me/STICK"), card);
    EXPECT_TRUE(card->isHighlighted());
    ASSERT_EQ(panelsOn(card), 1);
    EXPECT_EQ(card->findChild<BlockersView*>()->targetID(), stick.id);
    ejector->dismiss(stick.id);
    settle();
    EXPECT_FALSE(card->isHighlighted());
    EXPECT_EQ(panelsOn(card), 0);

    // "Who's Using This?" from the card's menu scans without ejecting.
    auto* more = qobject_cast<PopoverButton*>(inPopover("More for " + stick.name)->object());
    ASSERT_TRUE(more && more->popupMenu());
    QStringList items;
    for (QAction* action : more->popupMenu()->actions())
        items << action->text();
    EXPECT_EQ(items, (QStringList{"Eject", "Who's Using This?"}));
    more->popupMenu()->actions().at(1)->trigger();
    settle();
    ASSERT_NE(ejector->status(stick.id), nullptr);
    EXPECT_FALSE(ejector->status(stick.id)->failure.has_value());
    EXPECT_TRUE(ejector->status(stick.id)->report.has_value());
    EXPECT_FALSE(card->isHighlighted());
    EXPECT_EQ(panelsOn(card), 1);

    // The internal section opens from its header and says so.
    ASSERT_TRUE(pressInPopover("Internal disk, "));
    EXPECT_EQ(inPopover("Internal disk, ")->text(QAccessible::Value), "expanded");
    EXPECT_TRUE(controller->popoverState().internalExpanded());
    EXPECT_NE(cardOf("/home"), nullptr);
}

TEST_F(PopoverViewTest, ASampleUpdatesTheCardInPlaceKeepingScrollAndFocus)
{
    start(mounts);
    open();
    DriveCard* card = cardOf("/run/media/me/STICK");
    ASSERT_NE(card, nullptr);
    const auto shownOnCard = [&](const QString& text) { return findNamed(QAccessible::queryAccessibleInterface(card), text) != nullptr; };
    const QString before = DriveCard::activityLabel(*driveOf("/run/media/me/STICK"), ByteUnits::decimal);
    ASSERT_TRUE(shownOnCard(before));
    // Keyboard focus on the card's eject button, the list scrolled down a little.
    auto* eject = qobject_cast<QWidget*>(inPopover("Eject " + driveOf("/run/media/me/STICK")->name)->object());
    controller->popover()->activateWindow();
    eject->setFocus(Qt::TabFocusReason);
    ASSERT_GT(scroll()->maximum(), 10) << "the fixture list should need scrolling";
    scroll()->setValue(7);

    tree->setCounters("sdb", {2'000'000, 512 * 6000});
    clock.advance(1s);
    settle();
    const QString after = DriveCard::activityLabel(*driveOf("/run/media/me/STICK"), ByteUnits::decimal);
    EXPECT_TRUE(after.startsWith("Reading 2.0 megabytes per second, Writing 3.1 megabytes per second")) << after.toStdString();
    EXPECT_TRUE(shownOnCard(after) && !shownOnCard(before));
    // A new space reading refreshes the row in place as well.
    setSpace("/run/media/me/STICK", {32 * GB, 20 * GB, 20 * GB, false});
    store->refreshAll();
    settle();
    EXPECT_NE(inPopover("STICK, EXT4, 20.0 gigabytes free of 32.0 gigabytes, 38% used"), nullptr);
    EXPECT_EQ(cardOf("/run/media/me/STICK"), card);
    EXPECT_EQ(scroll()->value(), 7);
    EXPECT_EQ(QApplication::focusWidget(), eject);

    // Opened again, the kept card shows what changed while it was closed, from the top.
    controller->popover()->performClose();
    settle();
    setSpace("/run/media/me/STICK", {32 * GB, 24 * GB, 24 * GB, false});
    store->refreshAll();
    tree->setCounters("sdb", {6'000'000, 512 * 6000});
    clock.advance(1s);
    settle();
    open();
    EXPECT_EQ(cardOf("/run/media/me/STICK"), card);
    EXPECT_NE(inPopover("STICK, EXT4, 24.0 gigabytes free of 32.0 gigabytes, 25% used"), nullptr);
    EXPECT_TRUE(shownOnCard(DriveCard::activityLabel(*driveOf("/run/media/me/STICK"), ByteUnits::decimal)));
    EXPECT_EQ(scroll()->value(), 0);
}

TEST_F(PopoverViewTest, EjectAllWithAFailureSummarisesAndShowsTheFailedCard)
{
    start(mounts);
    const QList<EjectTarget> targets = controller->externalTargets();
    ASSERT_EQ(targets.size(), 4);
    // The last drive refuses, so its card is not at the top already.
    disks->refusals.insert(targets.last().members.first().bsdName, Dissent{Dissent::notPermitted, std::nullopt});
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
    controller->popover()->performClose();
    settle();

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
    disks->refusals.clear();
    controller->ejectAll({targets.last()});
    settle();
    clock.advance(1s);
    settle();
    EXPECT_EQ(controller->popover(), nullptr);
}

TEST_F(PopoverViewTest, AnEjectRunningAfterItsMountsLeftKeepsTheCardAndAShareShowsItsUnmount)
{
    settings->setValue("volumesShown", QStringList{"external", "internal", "network"});
    start(stickAndHome);
    fake.table->mounts.append(VolumeStore::Mount{"/mnt/media", "//nas/media", "cifs", false, 0, false});
    setSpace("/mnt/media", {8000 * GB, 2000 * GB, 2000 * GB, false});
    store->scheduleRebuild();
    settle();
    disks->hangShares = disks->hangDisks = true;
    open();
    EXPECT_EQ(inPopover("Unmounting…"), nullptr);
    EXPECT_EQ(inPopover("Ejecting…"), nullptr);

    // The share's unmount shows under its row, whose menu offers it with the scan.
    ASSERT_TRUE(pressInPopover("Unmount media"));
    const Ejector::Status* status = ejector->status(EjectTarget::fromNetworkVolume(*volumeAt("/mnt/media")).id);
    ASSERT_NE(status, nullptr);
    EXPECT_EQ(status->phase, Ejector::Phase::ejecting);
    EXPECT_EQ(status->target.networkMountPath, std::optional<QString>("/mnt/media"));
    EXPECT_NE(inPopover("Unmounting…"), nullptr);
    QStringList items;
    for (QAction* action : view()->viewForTarget(status->target.id)->actions())
        items << action->text();
    EXPECT_EQ(items, (QStringList{"Unmount", "Who's Using This?"}));

    // The stick's mounts leave while its eject still writes: the card stays until it answers.
    const QString eject = "Eject " + driveOf("/run/media/me/STICK")->name;
    ASSERT_TRUE(pressInPopover(eject));
    fake.table->mounts.removeIf([](const VolumeStore::Mount& mount) { return mount.path == "/run/media/me/STICK"; });
    store->scheduleRebuild();
    settle();
    ASSERT_EQ(driveOf("/run/media/me/STICK"), nullptr);
    EXPECT_NE(inPopover("Ejecting…"), nullptr) << "the card left while the drive is still written";
    disks->release();
    settle();
    EXPECT_EQ(inPopover("Ejecting…"), nullptr);
    EXPECT_EQ(inPopover(eject), nullptr);
}

TEST_F(PopoverViewTest, SettingsFromTheMenuTheFooterOrCtrlCommaSwapPageAndListKeepingTheListsPlace)
{
    start(mounts);
    // "Settings…" in the tray menu opens the popover on the page.
    std::unique_ptr<QMenu> menu(controller->buildMenu());
    for (QAction* action : menu->actions())
        if (action->text() == "Settings…")
            action->trigger();
    settle();
    ASSERT_TRUE(controller->isPopoverShown());
    EXPECT_TRUE(controller->popoverState().showingSettings());
    const auto showsPage = [&] { return inPopover("MENU BAR") && inPopover("done"); };
    const auto showsList = [&] { return !inPopover("MENU BAR") && inPopover("settings"); };
    EXPECT_TRUE(showsPage());
    // The footer's toggle brings the list, scrolled down a little; Ctrl+, swaps to the page and back.
    ASSERT_TRUE(pressInPopover("done"));
    EXPECT_TRUE(showsList());
    ASSERT_GT(scroll()->maximum(), 10) << "the fixture list should need scrolling";
    scroll()->setValue(9);
    QApplication::setActiveWindow(controller->popover());
    for (const bool page : {true, false}) {
        QTest::keyClick(view(), Qt::Key_Comma, Qt::ControlModifier);
        settle();
        EXPECT_EQ(showsPage(), page);
        EXPECT_EQ(showsList(), !page);
    }
    EXPECT_EQ(scroll()->value(), 9);
    // Escape closes it (and no Control key is left held for the next test).
    QTest::keyClick(view(), Qt::Key_Escape);
    EXPECT_FALSE(controller->isPopoverShown());
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
