#include "MenuBar/StatusItemController.h"

#include "MenuBar/StatusItem.h"
#include "Popover/List/HeaderView.h"
#include "Popover/PopoverState.h"
#include "Popover/Controls/PopoverTheme.h"
#include "Popover/PopoverView.h"
#include "Popover/PopoverWindow.h"
#include "Updates/Updater.h"

#include "Diagnostics/Diagnostics.h"
#include "Drives/DriveMonitor.h"
#include "Eject/Ejector.h"
#include "Settings/Format.h"
#include "Settings/Preferences.h"
#include "Support/LaunchEnvironment.h"
#include "Volumes/VolumeStore.h"

#include <QApplication>
#include <QClipboard>
#include <QCursor>
#include <QGuiApplication>
#include <QKeySequence>
#include <QLocale>
#include <QMenu>
#include <QTimer>

#include <algorithm>
#include <cmath>

namespace mallowby {

namespace {

bool hasReading(const std::optional<Volume>& volume)
{
    return volume && volume->space && volume->space->total >= 1;
}

// The texts an image draws, on one line: "83G", "R 12M W 3M".
QString labelText(const QList<MenuBarRenderer::Piece>& pieces)
{
    QStringList parts;
    for (const MenuBarRenderer::Piece& piece : pieces) {
        if (const auto* stacked = std::get_if<MenuBarRenderer::Piece::Stacked>(&piece.value))
            parts << stacked->value;
        else if (const auto* rates = std::get_if<MenuBarRenderer::Piece::Rates>(&piece.value))
            parts << rates->read.simplified() + QLatin1Char(' ') + rates->write.simplified();
    }
    return parts.join(QLatin1Char(' '));
}

// The widest label of the reserved styles: every figure at its widest.
QString labelGuide(MenuBarRenderer::Inputs inputs)
{
    inputs.pinnedAvailable = 888e9;
    inputs.readRate = inputs.writeRate = 888e6;
    QString widest;
    for (MenuBarStyle style : std::as_const(inputs.reserved)) {
        const QString text = labelText(MenuBarRenderer::pieces(style, inputs));
        if (text.size() > widest.size())
            widest = text;
    }
    return widest;
}

} // namespace

StatusItemController::StatusItemController(VolumeStore& volumes, DriveMonitor& drives, Ejector& ejector,
                                           Preferences& preferences, Notifier& notifier, Updater& updater,
                                           Clock& clock, const LaunchEnvironment& environment, QObject* parent)
    : QObject(parent),
      m_volumes(volumes),
      m_drives(drives),
      m_ejector(ejector),
      m_preferences(preferences),
      m_notifier(notifier),
      m_updater(updater),
      m_clock(clock),
      m_statusItem(new StatusItem(this)),
      m_popoverState(new PopoverState(environment, this)),
      m_keepPopoverOpen(environment.contains(QStringLiteral("MALLOWBY_POPOVER"))
                        || environment.contains(QStringLiteral("MALLOWBY_INSPECT"))
                        || environment.contains(QStringLiteral("MALLOWBY_EJECT")))
{
    if (const auto path = environment.value(QStringLiteral("MALLOWBY_SNAPSHOT")); path && !path->isEmpty())
        m_snapshotPath = *path;

    QPointer<StatusItemController> self(this);
    connect(m_statusItem, &StatusItem::clicked, this, &StatusItemController::handleClick);
    connect(m_statusItem, &StatusItem::appearanceChanged, this, &StatusItemController::refresh);
    connect(m_statusItem, &StatusItem::backingChanged, this, &StatusItemController::backingChanged);
    m_drives.setOnSample([self] {
        if (self)
            self->handleSample();
    });
    m_exportedMenu = buildMenu();
    m_statusItem->exportMenu(m_exportedMenu, [self] {
        if (self)
            self->refresh();
    });
    const auto choose = [this] { m_statusItem->setChoices(m_preferences.panelImage(), m_preferences.panelInk()); };
    connect(&m_preferences, &Preferences::panelImageChanged, this, choose);
    connect(&m_preferences, &Preferences::panelInkChanged, this, choose);
    choose();
    track();
    updateSamplingDetail();
    refresh();
}

StatusItemController::~StatusItemController()
{
    // The drive monitor may be gone already (at exit); its callback holds this object weakly.
    if (m_popover)
        delete m_popover.data();
    if (m_menu)
        delete m_menu.data();
    delete m_exportedMenu.data();
}

// ---- Observation ----

void StatusItemController::track()
{
    // Everything the image depends on besides rates and traces, which come with the samples.
    connect(&m_volumes, &VolumeStore::volumesChanged, this, &StatusItemController::observedChange);
    m_driveKinds.clear();
    for (const Drive& drive : m_drives.drives())
        m_driveKinds.append(drive.kind);
    connect(&m_drives, &DriveMonitor::drivesChanged, this, [this] {
        // The drive list changes with every sample; only its kinds matter here.
        QList<VolumeKind> kinds;
        for (const Drive& drive : m_drives.drives())
            kinds.append(drive.kind);
        if (kinds == m_driveKinds)
            return;
        m_driveKinds = kinds;
        observedChange();
    });
    for (auto signal : {&Preferences::menuBarStyleChanged, &Preferences::pinnedVolumeIDChanged,
                        &Preferences::activityDuringTransfersChanged, &Preferences::activityTraceChanged,
                        &Preferences::unitsChanged, &Preferences::lowSpaceThresholdChanged,
                        &Preferences::volumesShownChanged, &Preferences::hideWhenNoExternalChanged,
                        &Preferences::accentChanged})
        connect(&m_preferences, signal, this, &StatusItemController::observedChange);
}

void StatusItemController::observedChange()
{
    // A burst of changes is one update, on the next turn.
    if (m_changeScheduled)
        return;
    m_changeScheduled = true;
    QTimer::singleShot(0, this, [this] {
        m_changeScheduled = false;
        updateSamplingDetail();
        refresh();
    });
}

void StatusItemController::updateSamplingDetail()
{
    // Live figures are wanted while the popover shows them, and while the image shows activity
    // of an external drive or a transfer may be starting; activity shown with no external drive
    // attached would be a row of zeros, not worth a sample every second.
    const QList<Drive>& drives = m_drives.drives();
    const bool anyExternal = std::any_of(drives.cbegin(), drives.cend(),
                                         [](const Drive& d) { return d.kind == VolumeKind::external; });
    m_drives.setDetailed(isPopoverShown()
                         || (anyExternal && (resolvedStyle().showsActivity() || m_transfer.isPending())));
}

void StatusItemController::handleSample()
{
    const double total = m_drives.externalReadRate() + m_drives.externalWriteRate();
    if (m_transfer.update(m_clock.now(), total))
        updateSamplingDetail();
    refresh();
}

// ---- What the item shows ----

MenuBarStyle StatusItemController::resolvedStyle() const
{
    const bool hasVolume = m_preferences.pinnedVolume(m_volumes.volumes()).has_value();
    return m_preferences.menuBarStyle().resolved(hasVolume, m_preferences.activityDuringTransfers(),
                                                 m_transfer.isActive);
}

QList<Volume> StatusItemController::shownVolumes() const
{
    QList<Volume> shown;
    const QSet<VolumeKind>& kinds = m_preferences.volumesShown();
    for (const Volume& volume : m_volumes.volumes())
        if (kinds.contains(volume.kind))
            shown.append(volume);
    return shown;
}

QList<EjectTarget> StatusItemController::externalTargets() const
{
    QList<EjectTarget> targets;
    for (const Drive& drive : m_drives.drives())
        if (drive.kind == VolumeKind::external)
            targets.append(EjectTarget::fromDrive(drive));
    return targets;
}

void StatusItemController::refresh()
{
    const QList<Drive>& drives = m_drives.drives();
    const bool anyExternal = std::any_of(drives.cbegin(), drives.cend(),
                                         [](const Drive& d) { return d.kind == VolumeKind::external; });
    m_statusItem->setVisible(!(m_preferences.hideWhenNoExternal() && !anyExternal));
    if (QAction* ejectAll = m_exportedMenu ? m_exportedMenu->findChild<QAction*>(QStringLiteral("ejectAll")) : nullptr)
        ejectAll->setEnabled(anyExternal);

    const MenuBarStyle style = resolvedStyle();
    const std::optional<Volume> pinned = m_preferences.pinnedVolume(m_volumes.volumes());
    const LowSpaceThreshold threshold = m_preferences.lowSpaceThreshold();

    QList<Volume> low;
    for (const Volume& volume : shownVolumes())
        if (volume.space && volume.space->total >= 1 && threshold.isLow(*volume.space))
            low.append(volume);

    MenuBarRenderer::Inputs inputs;
    inputs.style = style;
    inputs.reserved = m_preferences.menuBarStyle().reserved(m_preferences.activityDuringTransfers());
    inputs.pinnedName = pinned ? pinned->name : QString();
    inputs.pinnedAvailable = pinned && pinned->space ? double(pinned->space->available) : 0.0;
    inputs.pinnedLow = hasReading(pinned) && threshold.isLow(*pinned->space);
    inputs.anyLow = !low.isEmpty();
    inputs.readRate = m_drives.externalReadRate();
    inputs.writeRate = m_drives.externalWriteRate();
    if (m_preferences.activityTrace()) {
        auto [read, write] = m_drives.externalTrace(traceCount);
        inputs.trace = MenuBarRenderer::Inputs::Trace{std::move(read), std::move(write)};
    }
    inputs.units = m_preferences.units();

    m_volumes.setRefreshing(style.showsSpace() || isPopoverShown());

    m_statusItem->setAccessibilityLabel(accessibilityLabel(pinned, low));

    QString toolTip;
    if (pinned && pinned->space)
        toolTip = pinned->name + QStringLiteral(": ") + Format::decimalBytes(quint64(std::max<qint64>(0, pinned->space->available)))
                  + QStringLiteral(" free of ") + Format::decimalBytes(quint64(std::max<qint64>(0, pinned->space->total)));
    else if (pinned)
        toolTip = pinned->name;
    if (style.showsActivity()) {
        const QString rates = QStringLiteral("read ") + Format::compact(inputs.readRate, inputs.units)
                              + QStringLiteral("B/s, write ") + Format::compact(inputs.writeRate, inputs.units)
                              + QStringLiteral("B/s");
        toolTip = toolTip.isEmpty() ? rates : toolTip + QLatin1Char('\n') + rates;
    }
    m_statusItem->setToolTip(toolTip);

    RenderKey key{MenuBarRenderer::layout(inputs), m_statusItem->appearance(), m_statusItem->scale()};
    const Accent accent = m_preferences.accent();
    const Accent::Color write = accent.writeColor();
    StatusItem::Faces faces{
        .square = {.used = hasReading(pinned) ? std::optional<double>(1.0 - std::clamp(double(pinned->space->available)
                                                                                   / double(pinned->space->total), 0.0, 1.0))
                                              : std::nullopt,
                   .low = inputs.pinnedLow,
                   .reading = inputs.readRate >= 1000,
                   .writing = inputs.writeRate >= 1000},
        .colors = {.ink = {},
                   .accent = PopoverTheme::accentColor(accent),
                   .write = QColor::fromRgbF(float(write.red), float(write.green), float(write.blue))},
        .label = labelText(key.layout.pieces),
        .labelGuide = labelGuide(inputs),
        .wide = m_lastFaces ? m_lastFaces->wide : QList<QImage>{},
    };
    if ((m_lastRender != key || faces.wide.isEmpty()) && m_statusItem->usesStatusNotifier()) {
        // The wide face at each scale; the renderer's buffers are pooled, so each is copied.
        faces.wide.clear();
        for (double scale : {1.0, 2.0})
            if (const std::optional<QImage> wide = MenuBarRenderer::render(key.layout, key.appearance, scale))
                faces.wide << wide->copy();
    }
    m_lastFaces = faces;
    m_statusItem->setFaces(faces);

    if (m_lastRender == key)
        return;  // nothing visible changed
    m_lastRender = key;
    const std::optional<QImage> image = MenuBarRenderer::render(key.layout, key.appearance, key.scale);
    if (!image)
        return;  // the old image stays

    const double w = image->width() / key.scale;
    const double h = image->height() / key.scale;
    m_statusItem->setLength(w + 8);
    m_statusItem->setImage(*image, QRectF(4, std::round((StatusItem::buttonHeight - h) / 2), w, h), key.scale);

    if (m_snapshotPath)
        (void)image->save(*m_snapshotPath, "PNG");  // a snapshot that cannot be written is ignored
}

QString StatusItemController::accessibilityLabel(const std::optional<Volume>& pinned, const QList<Volume>& low) const
{
    const QList<Drive>& drives = m_drives.drives();
    const auto external = std::count_if(drives.cbegin(), drives.cend(),
                                        [](const Drive& d) { return d.kind == VolumeKind::external; });
    QStringList sentences{HeaderView::countText(external)};

    const ByteUnits units = m_preferences.units();
    QStringList clauses;
    if (pinned && pinned->space)
        clauses << pinned->name + QStringLiteral(", ") + Format::spoken(double(pinned->space->available), units, false)
                       + QStringLiteral(" free");
    if (m_drives.externalReadRate() >= 1000)
        clauses << QStringLiteral("reading ") + Format::spoken(m_drives.externalReadRate(), units, true);
    if (m_drives.externalWriteRate() >= 1000)
        clauses << QStringLiteral("writing ") + Format::spoken(m_drives.externalWriteRate(), units, true);
    if (!clauses.isEmpty())
        sentences << clauses.join(QStringLiteral(", "));

    if (!low.isEmpty()) {
        QStringList names;
        for (const Volume& volume : low)
            names << volume.name;
        sentences << QStringLiteral("Low on space: ") + QLocale().createSeparatedList(names);
    }
    return sentences.join(QStringLiteral(". ")) + QLatin1Char('.');
}

void StatusItemController::backingChanged()
{
    refresh();
}

// ---- Clicks and the menu ----

void StatusItemController::handleClick(Qt::MouseButton button, Qt::KeyboardModifiers modifiers)
{
    if (button == Qt::RightButton || modifiers.testFlag(Qt::ControlModifier)) {
        showMenu();
        return;
    }
    if (button == Qt::MiddleButton) {
        if (!isPopoverShown())
            showPopover(std::nullopt, false);
        return;
    }
    if (button != Qt::LeftButton)
        return;
    if (isPopoverShown()) {
        m_popover->performClose();
        return;
    }
    // On Wayland a click on the panel takes the focus from the popover, which closes, before the
    // panel reports the click: that click was the one that closed it.
    if (QGuiApplication::platformName().startsWith(QLatin1String("wayland")) && m_popoverClosedAt
        && m_clock.now() - *m_popoverClosedAt < std::chrono::milliseconds(400))
        return;
    showPopover(std::nullopt, false);
}

QMenu* StatusItemController::buildMenu()
{
    auto* menu = new QMenu;
    menu->setAttribute(Qt::WA_DeleteOnClose, false);
    QPointer<StatusItemController> self(this);

    QAction* ejectAll = menu->addAction(QStringLiteral("Eject All"));
    ejectAll->setObjectName(QStringLiteral("ejectAll"));
    ejectAll->setEnabled(!externalTargets().isEmpty());
    connect(ejectAll, &QAction::triggered, this, [this] {
        if (const QList<EjectTarget> targets = externalTargets(); !targets.isEmpty())
            this->ejectAll(targets);
    });

    connect(menu->addAction(QStringLiteral("Open mallowby")), &QAction::triggered, this, &StatusItemController::openPopover);
    QAction* settings = menu->addAction(QStringLiteral("Settings…"));
    settings->setShortcut(QKeySequence(Qt::CTRL | Qt::Key_Comma));
    connect(settings, &QAction::triggered, this, &StatusItemController::openSettings);
    connect(menu->addAction(QStringLiteral("Copy Diagnostics")), &QAction::triggered, this,
            &StatusItemController::copyDiagnosticsFromMenu);
    connect(menu->addAction(QStringLiteral("Check for Updates…")), &QAction::triggered, this,
            &StatusItemController::checkForUpdates);
    menu->addSeparator();
    QAction* quit = menu->addAction(QStringLiteral("Quit mallowby"));
    quit->setShortcut(QKeySequence(Qt::CTRL | Qt::Key_Q));
    connect(quit, &QAction::triggered, qApp, &QCoreApplication::quit, Qt::QueuedConnection);

    connect(menu, &QMenu::aboutToHide, this, [self, menu] {
        if (self && self->m_menu == menu)
            self->menuDidClose();
    });
    return menu;
}

void StatusItemController::showMenu()
{
    // A Wayland client has no surface for a popup menu to hang from: the popover, whose footer
    // holds the same commands, stands in for it.
    if (QGuiApplication::platformName().startsWith(QLatin1String("wayland"))) {
        if (!isPopoverShown())
            showPopover(std::nullopt, false);
        return;
    }
    if (m_menu)
        menuDidClose();
    m_menu = buildMenu();
    m_statusItem->popUpMenu(m_menu);
}

void StatusItemController::menuDidClose()
{
    // The chosen action runs after the menu hid; the menu goes on the next turn.
    if (m_menu)
        m_menu->deleteLater();
    m_menu = nullptr;
}

void StatusItemController::ejectAll(const QList<EjectTarget>& targets)
{
    runEjectAll(this, &m_ejector, targets);
}

QCoro::Task<> StatusItemController::runEjectAll(QPointer<StatusItemController> self, QPointer<Ejector> ejector,
                                                QList<EjectTarget> targets)
{
    if (!ejector)
        co_return;
    const Ejector::EjectAllResult result = co_await ejector->ejectAll(std::move(targets));
    if (!self || result.failed.isEmpty())
        co_return;
    self->showPopover(result.failed.first(), false);
    self->m_popoverState->setEjectAllResult(result);
}

void StatusItemController::openPopover()
{
    QTimer::singleShot(0, this, [this] { showPopover(std::nullopt, false); });
}

void StatusItemController::openSettings()
{
    QTimer::singleShot(0, this, [this] { showPopover(std::nullopt, true); });
}

void StatusItemController::copyDiagnosticsFromMenu()
{
    // The clipboard, and on X11 the selection too, so a middle click pastes it as well.
    if (QClipboard* clipboard = QGuiApplication::clipboard()) {
        const QString text = diagnosticsText();
        clipboard->clear();
        clipboard->setText(text, QClipboard::Clipboard);
        if (clipboard->supportsSelection())
            clipboard->setText(text, QClipboard::Selection);
    }
}

QString StatusItemController::diagnosticsText() const
{
    return Diagnostics::report(Diagnostics::Environment::current(m_preferences.settingsSummary()), m_volumes.volumes(),
                               m_drives.drives(), m_ejector.log(), m_ejector.lastScan(), QDateTime::currentDateTime());
}

void StatusItemController::checkForUpdates()
{
    m_updater.checkForUpdates();
}

// ---- The popover ----

bool StatusItemController::isPopoverShown() const
{
    return m_popover && m_popover->isShown();
}

void StatusItemController::showPopover(const std::optional<QString>& focus, bool showingSettings)
{
    m_popoverState->setFocus(focus);
    m_popoverState->setShowingSettings(showingSettings);
    if (isPopoverShown())
        return;  // the shown popover follows the state

    dismissStaleStatuses();

    // The window and its views are kept while closed and brought up to date when opened again:
    // building eight cards anew took most of the time to the first paint.
    const auto behavior = m_keepPopoverOpen ? PopoverWindow::Behavior::applicationDefined : PopoverWindow::Behavior::transient;
    if (m_popover && m_popover->behavior() == behavior) {
        static_cast<PopoverView*>(m_popover->content())->reopen();
    } else {
        delete m_popover.data();
        m_popover = new PopoverWindow(behavior);
        connect(m_popover, &PopoverWindow::closed, this, &StatusItemController::popoverDidClose);
        QPointer<StatusItemController> self(this);
        m_popover->setContent(new PopoverView(m_volumes, m_drives, m_ejector, m_preferences, m_notifier, m_updater,
                                              *m_popoverState, [self] {
                                                  if (self)
                                                      self->copyDiagnosticsFromMenu();
                                              }));
    }
    m_popover->showAt(m_statusItem->geometry(), QCursor::pos());

    updateSamplingDetail();
    m_volumes.setRefreshing(true);
    m_volumes.refreshAll();
}

void StatusItemController::dismissStaleStatuses()
{
    QSet<QString> current;
    for (const Drive& drive : m_drives.drives())
        current.insert(drive.id);
    for (const Volume& volume : m_volumes.volumes())
        if (volume.kind == VolumeKind::network)
            current.insert(EjectTarget::fromNetworkVolume(volume).id);
    QStringList stale;
    for (auto it = m_ejector.statuses().cbegin(); it != m_ejector.statuses().cend(); ++it)
        if (!current.contains(it.key()) && it->phase == Ejector::Phase::idle)
            stale.append(it.key());
    for (const QString& id : std::as_const(stale))
        m_ejector.dismiss(id);
}

void StatusItemController::popoverDidClose()
{
    m_popoverClosedAt = m_clock.now();
    if (m_popoverState->ejectAllResult())
        m_popoverState->setEjectAllResult(std::nullopt);
    QTimer::singleShot(0, this, [this] {
        if (isPopoverShown())
            return;  // opened again meanwhile
        updateSamplingDetail();
        refresh();
    });
}

} // namespace mallowby
