#pragma once

#include "Drives/TransferDetector.h"
#include "Eject/EjectTarget.h"
#include "MenuBar/MenuBarRenderer.h"
#include "MenuBar/StatusItem.h"
#include "Popover/PopoverWindow.h"
#include "Settings/MenuBarStyle.h"
#include "Support/Clock.h"
#include "Support/LaunchEnvironment.h"
#include "Volumes/Volume.h"

#include <QCoro/QCoroTask>
#include <QObject>
#include <QPointer>

#include <optional>

#include <QMenu>

namespace mallowby {

class DriveMonitor;
class Ejector;
class Notifier;
class PopoverState;

class Preferences;
class StatusItem;
class Updater;
class VolumeStore;

// Owns the tray item: turns the volumes, drives, transfer state and settings into the item's
// image, width, tooltip, spoken label and visibility, redrawing only when something visible
// changed; answers clicks with the popover or the menu, owns the popover while it is shown, and
// decides how finely the drives are sampled. Main thread only.
class StatusItemController : public QObject {
    Q_OBJECT
public:
    // What the image shows; a refresh whose key equals the last one draws nothing.
    struct RenderKey {
        MenuBarRenderer::Layout layout;
        QString appearance;
        double scale = 0;
        bool operator==(const RenderKey&) const = default;
    };

    // Samples of the external traces the image shows.
    static constexpr qsizetype traceCount = 28;

    StatusItemController(VolumeStore& volumes, DriveMonitor& drives, Ejector& ejector, Preferences& preferences,
                         Notifier& notifier, Updater& updater, Clock& clock = Clock::system(),
                         const LaunchEnvironment& environment = LaunchEnvironment::shared(), QObject* parent = nullptr);
    ~StatusItemController() override;

    StatusItem& statusItem() const { return *m_statusItem; }
    PopoverState& popoverState() const { return *m_popoverState; }
    // The open popover; none while it is closed (its window is kept hidden, to open faster).
    PopoverWindow* popover() const { return isPopoverShown() ? m_popover.data() : nullptr; }
    bool isPopoverShown() const;
    const TransferDetector& transfer() const { return m_transfer; }
    const std::optional<RenderKey>& lastRender() const { return m_lastRender; }
    // The menu while it is open.
    QMenu* menu() const { return m_menu; }
    // The menu panels draw themselves, kept for the controller's life.
    QMenu* exportedMenu() const { return m_exportedMenu; }

    // Recomputes everything the item shows.
    void refresh();
    // Run after every sample of the drive monitor.
    void handleSample();

    // Opens the popover (or retargets the shown one) on a drive or eject target, or on the
    // settings page.
    void showPopover(const std::optional<QString>& focus, bool showingSettings);
    void handleClick(Qt::MouseButton button, Qt::KeyboardModifiers modifiers);

    // The menu of a right click, built afresh: Eject All (disabled without external drives),
    // Open mallowby, Settings…, Copy Diagnostics, Check for Updates…, Quit mallowby.
    QMenu* buildMenu();
    void showMenu();

    // Menu actions.
    void ejectAll(const QList<EjectTarget>& targets);
    void openPopover();
    void openSettings();
    void copyDiagnosticsFromMenu();
    void checkForUpdates();

    void popoverDidClose();
    void backingChanged();

    // The diagnostics report of the live objects, now.
    QString diagnosticsText() const;

    MenuBarStyle resolvedStyle() const;
    QList<Volume> shownVolumes() const;
    // The eject targets of every external drive, in drive order.
    QList<EjectTarget> externalTargets() const;

private:
    void track();
    void observedChange();
    void updateSamplingDetail();
    QString accessibilityLabel(const std::optional<Volume>& pinned, const QList<Volume>& low) const;
    void dismissStaleStatuses();
    void menuDidClose();
    static QCoro::Task<> runEjectAll(QPointer<StatusItemController> self, QPointer<Ejector> ejector,
                                     QList<EjectTarget> targets);

    VolumeStore& m_volumes;
    DriveMonitor& m_drives;
    Ejector& m_ejector;
    Preferences& m_preferences;
    Notifier& m_notifier;
    Updater& m_updater;
    Clock& m_clock;

    StatusItem* m_statusItem;
    QPointer<PopoverWindow> m_popover;
    PopoverState* m_popoverState;
    TransferDetector m_transfer;
    std::optional<RenderKey> m_lastRender;
    QPointer<QMenu> m_menu;
    QPointer<QMenu> m_exportedMenu;        // the menu panels draw themselves (dbusmenu)
    std::optional<StatusItem::Faces> m_lastFaces;
    std::optional<Clock::TimePoint> m_popoverClosedAt;

    bool m_keepPopoverOpen;              // a developer mode is on: the popover stays open
    std::optional<QString> m_snapshotPath;
    QList<VolumeKind> m_driveKinds;      // what the tracking last saw
    bool m_changeScheduled = false;
};

} // namespace mallowby
