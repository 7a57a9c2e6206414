#pragma once

#include "LoginItem.h"
#include "Support/Clock.h"
#include "Volumes/Volume.h"

#include <QLabel>
#include <QWidget>

#include <chrono>
#include <functional>
#include <memory>
#include <optional>

class QCheckBox;
class QComboBox;
class QSpinBox;
class QVBoxLayout;

namespace mallowby {

class AccentSwatch;
class PopoverButton;
class Notifier;
class Preferences;
class SegmentedPicker;
class Switch;
class Updater;
class VolumeStore;

// The settings page of the popover. Every control writes through to the preferences (or the
// login item, or the updater) at once; there is no save and no cancel. The page follows changes
// made elsewhere while it is shown. Main thread only.
class SettingsView : public QWidget {
    Q_OBJECT
public:
    // A titled group: the title in the caption font, semibold and spaced out, in the accent
    // colour; the content below it.
    class Section : public QWidget {
    public:
        Section(const QString& title, QWidget* parent);
        void add(QWidget* content, Qt::Alignment alignment = {});

    private:
        QLabel* m_title;
        QVBoxLayout* m_content;
    };

    // A label in a narrow leading column beside its content. The label is the content's buddy,
    // so assistive technology reads the row's label for the content.
    class Row : public QWidget {
    public:
        static constexpr int labelWidth = 48;
        Row(const QString& label, QWidget* content, QWidget* parent);
        QLabel* label() const { return m_label; }

    private:
        QLabel* m_label;
    };

    // One entry of the volume pop-up: what it reads and the pin it stands for (none: automatic).
    struct VolumeEntry {
        QString title;
        std::optional<QString> id;
        bool operator==(const VolumeEntry&) const = default;
    };

    static inline const QString deniedText = QStringLiteral("Notifications are turned off for mallowby in System Settings.");
    static inline const QString copiedText = QStringLiteral("copied, ready to paste into an issue");
    static constexpr auto copiedDuration = std::chrono::seconds(3);
    static constexpr int initialGigabytes = 50;
    static constexpr int gigabyteStep = 10;
    static constexpr int gigabyteMaximum = 100000;

    SettingsView(Preferences& preferences, VolumeStore& volumes, Notifier& notifier, Updater& updater,
                 LoginItem loginItem, std::function<void()> copyDiagnostics, Clock& clock = Clock::system(),
                 QWidget* parent = nullptr);
    ~SettingsView() override;

    // The automatic entry first, then every listed volume, then "not mounted" for a pin that is
    // away; and the index of the entry the pin selects.
    static QList<VolumeEntry> volumeEntries(const QList<Volume>& volumes, const std::optional<QString>& pinned);
    static int selectedVolumeEntry(const QList<VolumeEntry>& entries, const std::optional<QString>& pinned);

    // View state.
    bool launchAtLogin() const;
    std::optional<QString> loginError() const;
    bool copied() const;
    int gigabytes() const { return m_gigabytes; }
    bool isWarningShown() const;

protected:
    void showEvent(QShowEvent* event) override;
    void keyPressEvent(QKeyEvent* event) override;
    void changeEvent(QEvent* event) override;

private:
    QWidget* buildMenuBar();
    QWidget* buildVolumes();
    QWidget* buildNotifications();
    QWidget* buildGeneral();
    QWidget* buildUpdates();
    void appear();
    void follow();

    void showMenuBar();
    void showVolumes();
    void showKindsAndUnits();
    void showThreshold();
    void showWarning();
    void showAccent();
    void showLoginStatus();
    void showUpdates();
    void setGigabytes(int value);
    void changeLoginItem(bool on);
    void copy();
    void openNotificationSettings();

    Preferences& m_preferences;
    VolumeStore& m_volumes;
    Notifier& m_notifier;
    Updater& m_updater;
    LoginItem m_loginItem;
    std::function<void()> m_copyDiagnostics;
    Clock& m_clock;

    int m_gigabytes = initialGigabytes;
    std::unique_ptr<Clock::Timer> m_copiedTimer;

    SegmentedPicker* m_style = nullptr;
    QComboBox* m_volume = nullptr;
    QList<VolumeEntry> m_volumeEntries;
    Switch* m_duringTransfers = nullptr;
    Switch* m_trace = nullptr;
    Switch* m_hideWithoutExternal = nullptr;
    SegmentedPicker* m_panelImage = nullptr;
    SegmentedPicker* m_panelInk = nullptr;
    QList<std::pair<QCheckBox*, VolumeKind>> m_kinds;
    SegmentedPicker* m_units = nullptr;
    SegmentedPicker* m_threshold = nullptr;
    QWidget* m_gigabyteRow = nullptr;
    QSpinBox* m_gigabyteField = nullptr;
    Switch* m_notifyLowSpace = nullptr;
    Switch* m_notifyTransfer = nullptr;
    QWidget* m_warning = nullptr;
    PopoverButton* m_openNotificationSettings = nullptr;
    QList<AccentSwatch*> m_swatches;
    Switch* m_launchAtLogin = nullptr;
    QLabel* m_loginError = nullptr;
    QLabel* m_copied = nullptr;
    Switch* m_autoCheck = nullptr;
    Switch* m_autoDownload = nullptr;
};

} // namespace mallowby
