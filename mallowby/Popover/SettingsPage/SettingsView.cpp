#include "Popover/SettingsPage/SettingsView.h"

#include "Popover/SettingsPage/AccentSwatch.h"
#include "Popover/Controls/PopoverButton.h"
#include "Popover/Controls/PopoverTheme.h"
#include "Popover/SettingsPage/SegmentedPicker.h"
#include "Popover/SettingsPage/Switch.h"
#include "Updates/Updater.h"

#include "Notifications/Notifier.h"
#include "Settings/Preferences.h"
#include "Volumes/VolumeStore.h"

#include <QCheckBox>
#include <QComboBox>
#include <QEvent>
#include <QGridLayout>
#include <QHBoxLayout>
#include <QKeyEvent>
#include <QProcess>
#include <QPointer>
#include <QShowEvent>
#include <QSpinBox>
#include <QVBoxLayout>

#include <algorithm>
#include <limits>

namespace mallowby {

namespace {

const QList<MenuBarStyle>& styles()
{
    return MenuBarStyle::allCases();
}

using Font = PopoverTheme::Font;
using Tone = PopoverTheme::Tone;

QLabel* smallLabel(const QString& text, QWidget* parent, Tone tone = Tone::primary)
{
    return PopoverTheme::label(text, Font::caption, tone, parent);
}

PopoverButton* borderless(const QString& text, QWidget* parent)
{
    return new PopoverButton(text, {}, Tone::accent, parent);
}

// A row of controls without margins.
QHBoxLayout* line(QWidget* owner, int spacing)
{
    auto* layout = new QHBoxLayout(owner);
    layout->setContentsMargins(0, 0, 0, 0);
    layout->setSpacing(spacing);
    return layout;
}

// Sets a control's state as the model has it, without the control reporting a user's change.
// Controls report through toggled(), which assistive technology's Toggle action also emits.
template <typename Widget, typename Apply>
void quietly(Widget* widget, Apply apply)
{
    const QSignalBlocker blocker(widget);
    apply(widget);
}

} // namespace

// ---- Section and Row ----

SettingsView::Section::Section(const QString& title, QWidget* parent) : QWidget(parent), m_title(new QLabel(title, this))
{
    setAccessibleName(title);
    QFont font = PopoverTheme::font(Font::caption);
    font.setWeight(QFont::DemiBold);
    font.setLetterSpacing(QFont::AbsoluteSpacing, 1.5);
    m_title->setFont(font);
    PopoverTheme::setTone(m_title, Tone::accent);
    auto* layout = new QVBoxLayout(this);
    layout->setContentsMargins(0, 0, 0, 0);
    layout->setSpacing(5);
    layout->addWidget(m_title);
    m_content = new QVBoxLayout;
    m_content->setSpacing(5);
    layout->addLayout(m_content);
}

void SettingsView::Section::add(QWidget* content, Qt::Alignment alignment)
{
    content->setParent(this);
    m_content->addWidget(content, 0, alignment);
}

SettingsView::Row::Row(const QString& label, QWidget* content, QWidget* parent)
    : QWidget(parent), m_label(smallLabel(label, this))
{
    m_label->setFixedWidth(labelWidth);
    m_label->setWordWrap(true);
    m_label->setAlignment(Qt::AlignLeft | Qt::AlignVCenter);
    m_label->setBuddy(content);
    QHBoxLayout* layout = line(this, 6);
    layout->addWidget(m_label);
    content->setParent(this);
    layout->addWidget(content, 1);
}

// ---- The page ----

SettingsView::SettingsView(Preferences& preferences, VolumeStore& volumes, Notifier& notifier, Updater& updater,
                           LoginItem loginItem, std::function<void()> copyDiagnostics, Clock& clock, QWidget* parent)
    : QWidget(parent),
      m_preferences(preferences),
      m_volumes(volumes),
      m_notifier(notifier),
      m_updater(updater),
      m_loginItem(std::move(loginItem)),
      m_copyDiagnostics(std::move(copyDiagnostics)),
      m_clock(clock)
{
    setObjectName(QStringLiteral("mallowby-settings"));
    setAccessibleName(QStringLiteral("settings page"));
    setFont(PopoverTheme::font(Font::caption));
    auto* layout = new QVBoxLayout(this);
    layout->setContentsMargins(0, 0, 0, 0);
    layout->setSpacing(12);
    for (QWidget* section : {buildMenuBar(), buildVolumes(), buildNotifications(), buildGeneral(), buildUpdates()})
        layout->addWidget(section);
    layout->addStretch();

    showMenuBar();
    showVolumes();
    showKindsAndUnits();
    showThreshold();
    showWarning();
    showAccent();
    showLoginStatus();
    showUpdates();
    follow();
}

SettingsView::~SettingsView() = default;

QWidget* SettingsView::buildMenuBar()
{
    auto* section = new Section(QStringLiteral("MENU BAR"), this);

    m_style = new SegmentedPicker(QStringLiteral("style"), {QStringLiteral("icon"), QStringLiteral("space"),
                                                          QStringLiteral("activity"), QStringLiteral("both")});
    connect(m_style, &SegmentedPicker::chosen, this, [this](int index) { m_preferences.setMenuBarStyle(styles().value(index)); });
    section->add(new Row(QStringLiteral("style"), m_style, section));

    m_volume = new QComboBox;
    m_volume->setAccessibleName(QStringLiteral("volume for space"));
    m_volume->setFont(PopoverTheme::font(Font::caption));
    m_volume->setSizeAdjustPolicy(QComboBox::AdjustToMinimumContentsLengthWithIcon);
    m_volume->setMinimumContentsLength(18);
    connect(m_volume, &QComboBox::activated, this, [this](int index) {
        if (index >= 0 && index < m_volumeEntries.size())
            m_preferences.setPinnedVolumeID(m_volumeEntries[index].id);
    });
    section->add(new Row(QStringLiteral("volume"), m_volume, section));

    m_duringTransfers = new Switch(QStringLiteral("activity during transfers"));
    connect(m_duringTransfers, &Switch::toggled, &m_preferences, &Preferences::setActivityDuringTransfers);
    m_trace = new Switch(QStringLiteral("activity trace"));
    connect(m_trace, &Switch::toggled, &m_preferences, &Preferences::setActivityTrace);
    m_hideWithoutExternal = new Switch(QStringLiteral("hide with no external drives"));
    connect(m_hideWithoutExternal, &Switch::toggled, &m_preferences, &Preferences::setHideWhenNoExternal);
    for (QWidget* control : {m_duringTransfers, m_trace, m_hideWithoutExternal})
        section->add(control);

    // How the item shows on the panel: which face, which ink; automatic asks the panel.
    m_panelImage = new SegmentedPicker(QStringLiteral("panel image"), Preferences::panelImageNames());
    connect(m_panelImage, &SegmentedPicker::chosen, this,
            [this](int index) { m_preferences.setPanelImage(Preferences::PanelImage(index)); });
    section->add(new Row(QStringLiteral("panel image"), m_panelImage, section));
    m_panelInk = new SegmentedPicker(QStringLiteral("panel ink"), Preferences::panelInkNames());
    connect(m_panelInk, &SegmentedPicker::chosen, this,
            [this](int index) { m_preferences.setPanelInk(Preferences::PanelInk(index)); });
    section->add(new Row(QStringLiteral("panel ink"), m_panelInk, section));
    return section;
}

QWidget* SettingsView::buildVolumes()
{
    auto* section = new Section(QStringLiteral("VOLUMES"), this);

    auto* kinds = new QWidget;
    kinds->setAccessibleName(QStringLiteral("show"));
    auto* grid = new QGridLayout(kinds);
    grid->setContentsMargins(0, 0, 0, 0);
    grid->setHorizontalSpacing(12);
    grid->setVerticalSpacing(2);
    const std::pair<const char*, VolumeKind> boxes[] = {{"external", VolumeKind::external},
                                                        {"disk images", VolumeKind::diskImage},
                                                        {"internal", VolumeKind::internal},
                                                        {"network", VolumeKind::network}};
    for (int i = 0; i < 4; ++i) {
        auto* box = new QCheckBox(QString::fromLatin1(boxes[i].first), kinds);
        box->setFont(PopoverTheme::font(Font::caption));
        const VolumeKind kind = boxes[i].second;
        connect(box, &QCheckBox::toggled, this, [this, kind](bool on) {
            QSet<VolumeKind> shown = m_preferences.volumesShown();
            if (on)
                shown.insert(kind);
            else
                shown.remove(kind);
            m_preferences.setVolumesShown(shown);
        });
        grid->addWidget(box, i % 2, i / 2);
        m_kinds.append({box, kind});
    }
    grid->setColumnStretch(2, 1);
    section->add(new Row(QStringLiteral("show"), kinds, section));

    m_units = new SegmentedPicker(QStringLiteral("units"), {QStringLiteral("GB"), QStringLiteral("GiB")});
    connect(m_units, &SegmentedPicker::chosen, this, [this](int index) {
        m_preferences.setUnits(index == 0 ? ByteUnits::decimal : ByteUnits::binary);
    });
    section->add(new Row(QStringLiteral("units"), m_units, section));

    QStringList choices;
    for (const LowSpaceThreshold& preset : LowSpaceThreshold::presets())
        choices << preset.displayName();
    choices << QStringLiteral("GB");
    m_threshold = new SegmentedPicker(QStringLiteral("low space"), choices);
    connect(m_threshold, &SegmentedPicker::chosen, this, [this](int index) {
        const QList<LowSpaceThreshold>& presets = LowSpaceThreshold::presets();
        m_preferences.setLowSpaceThreshold(index < presets.size() ? presets[index]
                                                                  : LowSpaceThreshold::gigabytes(std::max(m_gigabytes, 1)));
    });
    section->add(new Row(QStringLiteral("low space"), m_threshold, section));

    // The gigabyte editor: a field with a stepper. The value is taken when it is submitted
    // (Return, leaving the field) or stepped, not at every keystroke, so that typing 150 never
    // sets a threshold of 1 or 15 on the way.
    auto* editor = new QWidget;
    QHBoxLayout* fieldLine = line(editor, 4);
    fieldLine->addWidget(smallLabel(QStringLiteral("below"), editor));
    m_gigabyteField = new QSpinBox(editor);
    m_gigabyteField->setAccessibleName(QStringLiteral("gigabytes"));
    m_gigabyteField->setFont(PopoverTheme::font(Font::caption));
    m_gigabyteField->setRange(1, gigabyteMaximum);
    m_gigabyteField->setSingleStep(gigabyteStep);
    m_gigabyteField->setKeyboardTracking(false);
    m_gigabyteField->setCorrectionMode(QAbstractSpinBox::CorrectToNearestValue);
    m_gigabyteField->setMinimumWidth(60 + 20);
    m_gigabyteField->setValue(m_gigabytes);
    connect(m_gigabyteField, &QSpinBox::valueChanged, this, &SettingsView::setGigabytes);
    fieldLine->addWidget(m_gigabyteField);
    fieldLine->addWidget(smallLabel(QStringLiteral("GB"), editor));
    fieldLine->addStretch();
    m_gigabyteRow = new Row(QString(), editor, section);
    section->add(m_gigabyteRow);
    return section;
}

QWidget* SettingsView::buildNotifications()
{
    auto* section = new Section(QStringLiteral("NOTIFICATIONS"), this);

    m_notifyLowSpace = new Switch(QStringLiteral("low space"));
    connect(m_notifyLowSpace, &Switch::toggled, this, [this](bool on) {
        m_preferences.setNotifyLowSpace(on);
        if (on)
            m_notifier.requestAuthorization();
    });
    m_notifyTransfer = new Switch(QStringLiteral("transfer finished (1 GB or more)"));
    connect(m_notifyTransfer, &Switch::toggled, this, [this](bool on) {
        m_preferences.setNotifyTransferFinished(on);
        if (on)
            m_notifier.requestAuthorization();
    });
    section->add(m_notifyLowSpace);
    section->add(m_notifyTransfer);

    m_warning = new QWidget;
    auto* warning = new QVBoxLayout(m_warning);
    warning->setContentsMargins(0, 0, 0, 0);
    warning->setSpacing(2);
    auto* text = smallLabel(deniedText, m_warning, Tone::orange);
    text->setWordWrap(true);
    warning->addWidget(text);
    m_openNotificationSettings = borderless(QStringLiteral("open notification settings"), m_warning);
    m_openNotificationSettings->setVisible(m_notifier.settingsCommand().has_value());
    connect(m_openNotificationSettings, &PopoverButton::clicked, this, &SettingsView::openNotificationSettings);
    warning->addWidget(m_openNotificationSettings, 0, Qt::AlignLeft);
    section->add(m_warning);
    return section;
}

QWidget* SettingsView::buildGeneral()
{
    auto* section = new Section(QStringLiteral("GENERAL"), this);

    auto* swatches = new QWidget;
    swatches->setAccessibleName(QStringLiteral("accent"));
    // 8 apart: the swatches carry 2 points of room for their outline on each side.
    QHBoxLayout* row = line(swatches, 8 - 4);
    for (Accent accent : Accent::allCases()) {
        auto* swatch = new AccentSwatch(accent, swatches);
        connect(swatch, &AccentSwatch::toggled, this, [this, accent](bool on) {
            if (on)
                m_preferences.setAccent(accent);
            showAccent();  // the current one cannot be turned off, only replaced
        });
        row->addWidget(swatch);
        m_swatches.append(swatch);
    }
    row->addStretch();
    section->add(new Row(QStringLiteral("accent"), swatches, section));

    m_launchAtLogin = new Switch(QStringLiteral("launch at login"));
    connect(m_launchAtLogin, &Switch::toggled, this, &SettingsView::changeLoginItem);
    section->add(m_launchAtLogin);
    m_loginError = PopoverTheme::label(QString(), Font::caption2, Tone::red, nullptr);
    m_loginError->setWordWrap(true);
    m_loginError->hide();
    section->add(m_loginError);

    auto* copyLine = new QWidget;
    QHBoxLayout* copyRow = line(copyLine, 6);
    auto* copy = borderless(QStringLiteral("copy diagnostics"), copyLine);
    connect(copy, &PopoverButton::clicked, this, &SettingsView::copy);
    copyRow->addWidget(copy);
    m_copied = smallLabel(copiedText, copyLine, Tone::secondary);
    m_copied->hide();
    copyRow->addWidget(m_copied);
    copyRow->addStretch();
    section->add(copyLine);
    return section;
}

QWidget* SettingsView::buildUpdates()
{
    auto* section = new Section(QStringLiteral("UPDATES"), this);
    m_autoCheck = new Switch(QStringLiteral("check automatically (daily)"));
    connect(m_autoCheck, &Switch::toggled, &m_updater, &Updater::setAutomaticallyChecksForUpdates);
    m_autoDownload = new Switch(QStringLiteral("download automatically"));
    connect(m_autoDownload, &Switch::toggled, &m_updater, &Updater::setAutomaticallyDownloadsUpdates);
    auto* checkNow = borderless(QStringLiteral("check now"), nullptr);
    connect(checkNow, &PopoverButton::clicked, this, [this] {
        window()->raise();
        window()->activateWindow();
        m_updater.checkForUpdates();
    });
    section->add(m_autoCheck);
    section->add(m_autoDownload);
    section->add(checkNow, Qt::AlignLeft);
    return section;
}

// The page shows what the model holds, also when it changes elsewhere.
void SettingsView::follow()
{
    connect(&m_preferences, &Preferences::menuBarStyleChanged, this, &SettingsView::showMenuBar);
    connect(&m_preferences, &Preferences::pinnedVolumeIDChanged, this, &SettingsView::showVolumes);
    connect(&m_volumes, &VolumeStore::volumesChanged, this, &SettingsView::showVolumes);
    connect(&m_preferences, &Preferences::activityDuringTransfersChanged, this, &SettingsView::showMenuBar);
    connect(&m_preferences, &Preferences::activityTraceChanged, this, &SettingsView::showMenuBar);
    connect(&m_preferences, &Preferences::hideWhenNoExternalChanged, this, &SettingsView::showMenuBar);
    connect(&m_preferences, &Preferences::panelImageChanged, this, &SettingsView::showMenuBar);
    connect(&m_preferences, &Preferences::panelInkChanged, this, &SettingsView::showMenuBar);
    connect(&m_preferences, &Preferences::volumesShownChanged, this, &SettingsView::showKindsAndUnits);
    connect(&m_preferences, &Preferences::unitsChanged, this, &SettingsView::showKindsAndUnits);
    connect(&m_preferences, &Preferences::lowSpaceThresholdChanged, this, &SettingsView::showThreshold);
    connect(&m_preferences, &Preferences::notifyLowSpaceChanged, this, &SettingsView::showWarning);
    connect(&m_preferences, &Preferences::notifyTransferFinishedChanged, this, &SettingsView::showWarning);
    connect(&m_notifier, &Notifier::authorizationChanged, this, &SettingsView::showWarning);
    connect(&m_preferences, &Preferences::accentChanged, this, &SettingsView::showAccent);
    connect(&m_updater, &Updater::automaticallyChecksForUpdatesChanged, this, &SettingsView::showUpdates);
    connect(&m_updater, &Updater::automaticallyDownloadsUpdatesChanged, this, &SettingsView::showUpdates);
}

void SettingsView::showEvent(QShowEvent* event)
{
    QWidget::showEvent(event);
    if (!event->spontaneous())
        appear();
}

void SettingsView::appear()
{
    showUpdates();
    const LowSpaceThreshold threshold = m_preferences.lowSpaceThreshold();
    if (threshold.unit == LowSpaceThreshold::Unit::gigabytes)
        m_gigabytes = int(std::min<qint64>(threshold.amount, std::numeric_limits<int>::max()));
    showThreshold();
    showLoginStatus();
    m_copiedTimer.reset();
    m_copied->hide();
    m_notifier.refreshAuthorization();
}

// ---- Model to controls ----

void SettingsView::showMenuBar()
{
    m_style->setSelected(int(styles().indexOf(m_preferences.menuBarStyle())));
    quietly(m_duringTransfers, [&](Switch* s) { s->setChecked(m_preferences.activityDuringTransfers()); });
    quietly(m_trace, [&](Switch* s) { s->setChecked(m_preferences.activityTrace()); });
    quietly(m_hideWithoutExternal, [&](Switch* s) { s->setChecked(m_preferences.hideWhenNoExternal()); });
    m_panelImage->setSelected(int(m_preferences.panelImage()));
    m_panelInk->setSelected(int(m_preferences.panelInk()));
}

QList<SettingsView::VolumeEntry> SettingsView::volumeEntries(const QList<Volume>& volumes, const std::optional<QString>& pinned)
{
    QList<VolumeEntry> entries;
    const std::optional<Volume> automatic = Preferences::automaticVolume(volumes);
    entries.append({automatic ? QStringLiteral("automatic (") + automatic->name + QLatin1Char(')') : QStringLiteral("automatic"),
                    std::nullopt});
    for (const Volume& volume : volumes)
        entries.append({volume.name, volume.id});
    if (pinned && selectedVolumeEntry(entries, pinned) == 0)
        entries.append({QStringLiteral("not mounted"), pinned});
    return entries;
}

int SettingsView::selectedVolumeEntry(const QList<VolumeEntry>& entries, const std::optional<QString>& pinned)
{
    if (!pinned)
        return 0;
    const auto it = std::find_if(entries.cbegin(), entries.cend(), [&](const VolumeEntry& e) { return e.id == pinned; });
    return it == entries.cend() ? 0 : int(it - entries.cbegin());
}

void SettingsView::showVolumes()
{
    const std::optional<QString>& pinned = m_preferences.pinnedVolumeID();
    const QList<VolumeEntry> entries = volumeEntries(m_volumes.volumes(), pinned);
    quietly(m_volume, [&](QComboBox* box) {
        if (entries != m_volumeEntries) {
            // Rebuilt only when the entries changed: space readings come often and change none.
            box->clear();
            for (const VolumeEntry& entry : entries)
                box->addItem(entry.title);
            m_volumeEntries = entries;
        }
        box->setCurrentIndex(selectedVolumeEntry(entries, pinned));
    });
}

void SettingsView::showKindsAndUnits()
{
    for (const auto& [box, kind] : std::as_const(m_kinds))
        quietly(box, [&](QCheckBox* b) { b->setChecked(m_preferences.volumesShown().contains(kind)); });
    m_units->setSelected(m_preferences.units() == ByteUnits::decimal ? 0 : 1);
}

void SettingsView::showThreshold()
{
    const LowSpaceThreshold threshold = m_preferences.lowSpaceThreshold();
    const bool inGigabytes = threshold.unit == LowSpaceThreshold::Unit::gigabytes;
    const QList<LowSpaceThreshold>& presets = LowSpaceThreshold::presets();
    if (inGigabytes) {
        m_threshold->setSelected(int(presets.size()));
        m_gigabytes = int(std::min<qint64>(threshold.amount, std::numeric_limits<int>::max()));
    } else {
        const qsizetype preset = presets.indexOf(threshold);
        m_threshold->setSelected(preset < 0 ? std::nullopt : std::optional<int>(int(preset)));
    }
    quietly(m_gigabyteField, [&](QSpinBox* field) {
        // A stored value beyond the stepper's range is shown as it is, not cut down.
        field->setMaximum(std::max(gigabyteMaximum, m_gigabytes));
        field->setValue(m_gigabytes);
    });
    m_gigabyteRow->setVisible(inGigabytes);
}

void SettingsView::setGigabytes(int value)
{
    m_gigabytes = value;
    m_preferences.setLowSpaceThreshold(LowSpaceThreshold::gigabytes(std::max(value, 1)));
}

bool SettingsView::isWarningShown() const
{
    return m_notifier.authorization() == Notifier::Authorization::denied
           && (m_preferences.notifyLowSpace() || m_preferences.notifyTransferFinished());
}

void SettingsView::showWarning()
{
    quietly(m_notifyLowSpace, [&](Switch* s) { s->setChecked(m_preferences.notifyLowSpace()); });
    quietly(m_notifyTransfer, [&](Switch* s) { s->setChecked(m_preferences.notifyTransferFinished()); });
    m_warning->setVisible(isWarningShown());
}

void SettingsView::showAccent()
{
    // Titles, switches and segments take the accent from the palette; the page sets it for
    // itself, so it looks the same inside the popover and on its own.
    const Accent current = m_preferences.accent();
    PopoverTheme::setAccent(this, current);
    for (AccentSwatch* swatch : std::as_const(m_swatches))
        quietly(swatch, [&](AccentSwatch* s) { s->setChecked(s->accent() == current); });
}

void SettingsView::changeEvent(QEvent* event)
{
    QWidget::changeEvent(event);
    if (event->type() == QEvent::ApplicationPaletteChange && !m_swatches.isEmpty())
        showAccent();  // the system accent is the desktop's highlight
}

void SettingsView::showUpdates()
{
    quietly(m_autoCheck, [&](Switch* s) { s->setChecked(m_updater.automaticallyChecksForUpdates()); });
    quietly(m_autoDownload, [&](Switch* s) { s->setChecked(m_updater.automaticallyDownloadsUpdates()); });
}

// ---- Login item, diagnostics, notification settings ----

bool SettingsView::launchAtLogin() const
{
    return m_launchAtLogin->isChecked();
}

std::optional<QString> SettingsView::loginError() const
{
    return m_loginError->isHidden() ? std::nullopt : std::optional(m_loginError->text());
}

void SettingsView::showLoginStatus()
{
    quietly(m_launchAtLogin, [&](Switch* s) { s->setChecked(m_loginItem.status() == LoginItem::Status::enabled); });
}

void SettingsView::changeLoginItem(bool on)
{
    const std::optional<QString> error = on ? m_loginItem.registerItem() : m_loginItem.unregisterItem();
    m_loginError->setText(error.value_or(QString()));
    m_loginError->setVisible(error.has_value());
    // A change that failed snaps back to what is really there.
    showLoginStatus();
}

bool SettingsView::copied() const
{
    return !m_copied->isHidden();
}

void SettingsView::copy()
{
    if (m_copyDiagnostics)
        m_copyDiagnostics();
    m_copied->show();
    // Three seconds from the latest click.
    QPointer<SettingsView> self(this);
    m_copiedTimer = m_clock.schedule(copiedDuration, std::nullopt, [self] {
        if (!self)
            return;
        self->m_copied->hide();
        self->m_copiedTimer.reset();
    });
}

void SettingsView::openNotificationSettings()
{
    const std::optional<QStringList> command = m_notifier.settingsCommand();
    if (command && !command->isEmpty())
        QProcess::startDetached(command->first(), command->mid(1));
}

// ---- Keyboard ----

void SettingsView::keyPressEvent(QKeyEvent* event)
{
    // Return and Enter press the focused button, switch, box or segment, as Space does.
    if (event->key() == Qt::Key_Return || event->key() == Qt::Key_Enter) {
        if (auto* button = qobject_cast<QAbstractButton*>(focusWidget()); button && isAncestorOf(button)) {
            button->animateClick();
            return;
        }
    }
    QWidget::keyPressEvent(event);
}

} // namespace mallowby
