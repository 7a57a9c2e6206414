// The popover built by the tray item over the real store, monitor and ejector, driven the way a
// screen reader does: controls are found by their accessible names and pressed.

#include "TrayRig.h"

#include "MenuBar/StatusItemController.h"
#include "Popover/Blockers/BlockersView.h"
#include "Popover/Cards/DriveCard.h"
#include "Popover/Controls/PopoverButton.h"
#include "Popover/PopoverState.h"
#include "Popover/PopoverView.h"
#include "Popover/PopoverWindow.h"

#include <QAccessible>
#include <QApplication>
#include <QMenu>
#include <QScrollArea>
#include <QScrollBar>
#include <QTest>

using namespace mallowby;
using namespace mallowby::test;
using namespace std::chrono_literals;

namespace {

// The blockers panels a user sees on a card (a removed one is deleted on a later turn).
qsizetype panelsOn(const QWidget* card)
{
    const QList<BlockersView*> panels = card->findChildren<BlockersView*>();
    return std::count_if(panels.cbegin(), panels.cend(), [card](const BlockersView* panel) { return panel->isVisibleTo(card); });
}

class PopoverViewTest : public TrayRig {
protected:
    void open(const std::optional<QString>& focus = std::nullopt)
    {
        controller->showPopover(focus, false);
        settle();
        ASSERT_TRUE(controller->isPopoverShown());
    }
    PopoverView* view() const { return qobject_cast<PopoverView*>(controller->popover()->content()); }
    QAccessibleInterface* named(const QString& name) const
    {
        return findNamed(QAccessible::queryAccessibleInterface(controller->popover()), name);
    }
    // Presses the control as a screen reader does; false when there is none or it cannot be pressed.
    bool press(const QString& name) const
    {
        QAccessibleInterface* control = named(name);
        if (!control || !control->actionInterface() || control->state().disabled)
            return false;
        control->actionInterface()->doAction(QAccessibleActionInterface::pressAction());
        return true;
    }
    // Two more USB disks on the stick's bus, so that the list outgrows the screen.
    QList<std::pair<QString, QString>> withMoreSticks(QList<std::pair<QString, QString>> mounts)
    {
        const QString bus = QStringLiteral("devices/pci0000:00/0000:00:14.0/usb2/2-1/2-1:1.0/host6/target6:0:0/6:0:0:0/block");
        for (int i = 0; i < 2; ++i) {
            const QString disk = QStringLiteral("sd%1").arg(QChar('x' + i));
            tree->addDisk(disk, QStringLiteral("8:%1").arg(200 + 16 * i), bus);
            tree->setAttribute(disk, "removable", "1\n");
            const QString path = QStringLiteral("/run/media/me/EXTRA%1").arg(i);
            setSpace(path, {64 * GB, 10 * GB, 10 * GB, false});
            mounts.append({path, QStringLiteral("/dev/") + disk});
        }
        return mounts;
    }
    DriveCard* cardOf(const QString& path) const
    {
        const Drive* drive = driveOf(path);
        return drive ? qobject_cast<DriveCard*>(view()->viewForTarget(drive->id)) : nullptr;
    }
};

} // namespace

TEST_F(PopoverViewTest, EjectFromACardReachesTheEjectorAndAFailureShowsOnTheCard)
{
    start(stickAndHome);
    open();
    const Drive* stick = driveOf("/run/media/me/STICK");
    ASSERT_NE(stick, nullptr);
    const QString id = stick->id;
    DriveCard* card = cardOf("/run/media/me/STICK");
    ASSERT_NE(card, nullptr);
    EXPECT_FALSE(card->isHighlighted());
    EXPECT_EQ(panelsOn(card), 0);
    // Internal drives are listed but not ejectable, and the section starts closed.
    EXPECT_EQ(named(QStringLiteral("Eject ") + driveOf("/home")->name), nullptr);
    QAccessibleInterface* internal = named("Internal disk, ");
    ASSERT_NE(internal, nullptr);
    EXPECT_EQ(internal->text(QAccessible::Value), "collapsed");

    disks->refusals.insert("sdb", Dissent{Dissent::notPermitted, QStringLiteral("not allowed")});
    ASSERT_TRUE(press(QStringLiteral("Eject ") + stick->name));
    settle();
    const Ejector::Status* status = ejector->status(id);
    ASSERT_NE(status, nullptr);
    ASSERT_TRUE(status->failure.has_value());
    EXPECT_EQ(status->target, EjectTarget::fromDrive(*driveOf("/run/media/me/STICK")));
    // The same card, now orange-bordered with the blockers panel for its drive.
    EXPECT_EQ(cardOf("/run/media/me/STICK"), card);
    EXPECT_TRUE(card->isHighlighted());
    const QList<BlockersView*> panels = card->findChildren<BlockersView*>();
    ASSERT_EQ(panels.size(), 1);
    EXPECT_EQ(panels.first()->targetID(), id);

    // The status goes: so does the panel, on the next turn.
    ejector->dismiss(id);
    settle();
    EXPECT_FALSE(card->isHighlighted());
    EXPECT_EQ(panelsOn(card), 0);

    // "Who's Using This?" from the card's menu scans without ejecting.
    auto* more = qobject_cast<PopoverButton*>(named(QStringLiteral("More for ") + stick->name)->object());
    ASSERT_NE(more, nullptr);
    ASSERT_NE(more->popupMenu(), nullptr);
    QStringList items;
    for (QAction* action : more->popupMenu()->actions())
        items << action->text();
    EXPECT_EQ(items, (QStringList{"Eject", "Who's Using This?"}));
    more->popupMenu()->actions().at(1)->trigger();
    settle();
    status = ejector->status(id);
    ASSERT_NE(status, nullptr);
    EXPECT_FALSE(status->failure.has_value());
    EXPECT_TRUE(status->report.has_value());
    EXPECT_FALSE(card->isHighlighted());
    EXPECT_EQ(panelsOn(card), 1);

    // Every control is on the Tab chain.
    QWidget* window = controller->popover();
    QSet<QWidget*> chain;
    for (QWidget* w = window->nextInFocusChain(); w != window; w = w->nextInFocusChain())
        if (w->focusPolicy() & Qt::TabFocus)
            chain.insert(w);
    for (const QString& name : {QStringLiteral("Eject ") + stick->name, QStringLiteral("More for ") + stick->name,
                                QStringLiteral("eject all"), QStringLiteral("Internal disk, "), QStringLiteral("settings"),
                                QStringLiteral("quit")}) {
        QAccessibleInterface* control = named(name);
        ASSERT_NE(control, nullptr) << name.toStdString();
        EXPECT_TRUE(chain.contains(qobject_cast<QWidget*>(control->object()))) << name.toStdString();
    }

    // The internal section opens from its header and says so.
    ASSERT_TRUE(press("Internal disk, "));
    settle();
    internal = named("Internal disk, ");
    EXPECT_EQ(internal->text(QAccessible::Value), "expanded");
    EXPECT_TRUE(controller->popoverState().internalExpanded());
    EXPECT_NE(cardOf("/home"), nullptr);
}

TEST_F(PopoverViewTest, ASampleUpdatesTheCardInPlaceKeepingScrollAndFocus)
{
    start(withMoreSticks(twoDrives));
    open();
    const Drive* stick = driveOf("/run/media/me/STICK");
    ASSERT_NE(stick, nullptr);
    DriveCard* card = cardOf("/run/media/me/STICK");
    ASSERT_NE(card, nullptr);
    const QString before = DriveCard::activityLabel(*stick, ByteUnits::decimal);
    ASSERT_NE(findNamed(QAccessible::queryAccessibleInterface(card), before), nullptr);

    // Keyboard focus on the card's eject button, the list scrolled down a little.
    auto* eject = qobject_cast<QWidget*>(named(QStringLiteral("Eject ") + stick->name)->object());
    ASSERT_NE(eject, nullptr);
    controller->popover()->activateWindow();
    eject->setFocus(Qt::TabFocusReason);
    QScrollBar* scroll = view()->listArea()->verticalScrollBar();
    ASSERT_GT(scroll->maximum(), 10) << "the fixture list should need scrolling";
    scroll->setValue(7);

    tree->setCounters("sdb", {2'000'000, 512 * 6000});
    clock.advance(1s);
    settle();
    EXPECT_EQ(cardOf("/run/media/me/STICK"), card);
    const QString after = DriveCard::activityLabel(*driveOf("/run/media/me/STICK"), ByteUnits::decimal);
    EXPECT_TRUE(after.startsWith("Reading 2.0 megabytes per second, Writing 3.1 megabytes per second")) << after.toStdString();
    QAccessibleInterface* inCard = QAccessible::queryAccessibleInterface(card);
    EXPECT_NE(findNamed(inCard, after), nullptr);
    EXPECT_EQ(findNamed(inCard, before), nullptr);
    EXPECT_EQ(scroll->value(), 7);
    EXPECT_EQ(QApplication::focusWidget(), eject);

    // A new space reading refreshes the row in place as well.
    setSpace("/run/media/me/STICK", {32 * GB, 20 * GB, 20 * GB, false});
    store->refreshAll();
    settle();
    EXPECT_EQ(cardOf("/run/media/me/STICK"), card);
    EXPECT_NE(named("STICK, EXT4, 20.0 gigabytes free of 32.0 gigabytes, 38% used"), nullptr);
    EXPECT_EQ(scroll->value(), 7);
}

TEST_F(PopoverViewTest, EjectAllWithAFailureSummarisesAndScrollsToTheFailedCard)
{
    start(withMoreSticks(twoDrives));
    open();
    ASSERT_EQ(controller->externalTargets().size(), 4);
    // The later of the two drives refuses, so its card is not at the top already.
    const EjectTarget last = controller->externalTargets().last();
    const QString lastDisk = last.members.first().bsdName;
    disks->refusals.insert(lastDisk, Dissent{Dissent::notPermitted, std::nullopt});
    ASSERT_TRUE(press("eject all"));
    ASSERT_TRUE(TestEnvironment::waitUntil([&] { return controller->popoverState().ejectAllResult().has_value(); }, 5s));
    settle();
    QStringList ejected;
    for (const EjectTarget& target : controller->externalTargets().first(3))
        ejected << target.name;
    const QString summary = QStringLiteral("Ejected %1, %2, and %3. %4 couldn't be ejected.").arg(ejected[0], ejected[1], ejected[2], last.name);
    EXPECT_NE(named(summary), nullptr);

    QWidget* card = view()->viewForTarget(last.id);
    ASSERT_NE(card, nullptr);
    QScrollBar* scroll = view()->listArea()->verticalScrollBar();
    const int top = card->mapTo(view()->listArea()->widget(), QPoint(0, 0)).y();
    ASSERT_GT(top, 0);
    EXPECT_EQ(scroll->value(), std::min(top, scroll->maximum()));
    EXPECT_GT(scroll->value(), 0);
    EXPECT_EQ(controller->popoverState().focus(), std::nullopt);

    // Dismissed from its button, the summary goes.
    ASSERT_TRUE(press("Dismiss"));
    EXPECT_EQ(controller->popoverState().ejectAllResult(), std::nullopt);
    settle();
    EXPECT_EQ(named(summary), nullptr);
}

TEST_F(PopoverViewTest, UnmountingAShareFromTheNetworkCardShowsUnderItsRow)
{
    settings->setValue("volumesShown", QStringList{"external", "internal", "network"});
    start(homeOnly);
    fake.table->mounts.append(VolumeStore::Mount{"/mnt/media", "//nas/media", "cifs", false, 0, false});
    setSpace("/mnt/media", {8000 * GB, 2000 * GB, 2000 * GB, false});
    store->scheduleRebuild();
    settle();
    disks->hangShares = true;
    open();
    ASSERT_NE(named("network"), nullptr);
    EXPECT_EQ(named("Unmounting…"), nullptr);

    ASSERT_TRUE(press("Unmount media"));
    settle();
    const Volume* share = volumeAt("/mnt/media");
    ASSERT_NE(share, nullptr);
    const Ejector::Status* status = ejector->status(EjectTarget::fromNetworkVolume(*share).id);
    ASSERT_NE(status, nullptr);
    EXPECT_EQ(status->phase, Ejector::Phase::ejecting);
    EXPECT_EQ(status->target.networkMountPath, std::optional<QString>("/mnt/media"));
    EXPECT_NE(named("Unmounting…"), nullptr);
    // The row offers the same through its menu, with the scan.
    QWidget* row = view()->viewForTarget(status->target.id);
    ASSERT_NE(row, nullptr);
    QStringList items;
    for (QAction* action : row->actions())
        items << action->text();
    EXPECT_EQ(items, (QStringList{"Unmount", "Who's Using This?"}));
}

TEST_F(PopoverViewTest, SettingsFromTheMenuTheFooterOrCtrlCommaSwapPageAndListKeepingTheListsPlace)
{
    start(withMoreSticks(twoDrives));
    // "Settings…" in the tray menu opens the popover on the page.
    std::unique_ptr<QMenu> menu(controller->buildMenu());
    const QList<QAction*> items = menu->actions();
    const auto item = std::find_if(items.cbegin(), items.cend(), [](QAction* a) { return a->text() == "Settings…"; });
    ASSERT_NE(item, items.cend());
    (*item)->trigger();
    settle();
    ASSERT_TRUE(controller->isPopoverShown());
    EXPECT_TRUE(controller->popoverState().showingSettings());
    EXPECT_NE(named("MENU BAR"), nullptr);
    EXPECT_EQ(named("settings"), nullptr);

    // The footer's toggle brings the list; scroll it down a little.
    ASSERT_TRUE(press("done"));
    settle();
    EXPECT_EQ(named("MENU BAR"), nullptr);
    QScrollBar* scroll = view()->listArea()->verticalScrollBar();
    ASSERT_GT(scroll->maximum(), 10) << "the fixture list should need scrolling";
    scroll->setValue(9);

    // Ctrl+, swaps to the page and back; the list is where it was.
    QApplication::setActiveWindow(controller->popover());
    QTest::keyClick(view(), Qt::Key_Comma, Qt::ControlModifier);
    settle();
    EXPECT_NE(named("MENU BAR"), nullptr);
    EXPECT_NE(named("done"), nullptr);
    QTest::keyClick(view(), Qt::Key_Comma, Qt::ControlModifier);
    settle();
    EXPECT_EQ(named("MENU BAR"), nullptr);
    EXPECT_NE(named("settings"), nullptr);
    EXPECT_EQ(scroll->value(), 9);
}
