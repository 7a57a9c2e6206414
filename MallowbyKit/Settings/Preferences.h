#pragma once

#include "Settings/Accent.h"
#include "Settings/ByteUnits.h"
#include "Settings/LowSpaceThreshold.h"
#include "Settings/MenuBarStyle.h"
#include "Volumes/Volume.h"
#include "Volumes/VolumeKind.h"

#include <QObject>
#include <QSet>
#include <QStringList>

#include <optional>

class QSettings;

namespace mallowby {

// Every user setting, read once from the store at construction and written through to it on each
// assignment. Unreadable stored values fall back to their defaults; nothing is ever reloaded.
// Each property has a …Changed() signal, emitted only when the value changed. Main thread only.
class Preferences : public QObject {
    Q_OBJECT
public:
    // Store keys.
    static inline const QString menuBarStyleKey = QStringLiteral("menuBarStyle");
    static inline const QString pinnedVolumeIDKey = QStringLiteral("pinnedVolumeID");
    static inline const QString activityDuringTransfersKey = QStringLiteral("activityDuringTransfers");
    static inline const QString activityTraceKey = QStringLiteral("activityTrace");
    static inline const QString unitsKey = QStringLiteral("units");
    static inline const QString lowSpaceThresholdKey = QStringLiteral("lowSpaceThreshold");
    static inline const QString volumesShownKey = QStringLiteral("volumesShown");
    static inline const QString hideWhenNoExternalKey = QStringLiteral("hideWhenNoExternal");
    static inline const QString accentKey = QStringLiteral("accent");
    static inline const QString notifyLowSpaceKey = QStringLiteral("notifyLowSpace");
    static inline const QString notifyTransferFinishedKey = QStringLiteral("notifyTransferFinished");
    static inline const QString panelImageKey = QStringLiteral("panelImage");
    static inline const QString panelInkKey = QStringLiteral("panelInk");

    // Which face the tray item shows on the panel; automatic asks the panel who it is.
    enum class PanelImage : quint8 { automatic, wide, label, square };
    // The colour of the tray item's ink; automatic follows the panel.
    enum class PanelInk : quint8 { automatic, light, dark };
    // Stored names, in enum order.
    static const QStringList& panelImageNames();
    static const QStringList& panelInkNames();

    // The user's settings file: $XDG_CONFIG_HOME/mallowby/mallowby.conf (INI).
    static QString userStorePath();

    // The store must outlive the preferences.
    explicit Preferences(QSettings& defaults, QObject* parent = nullptr);

    QSettings& defaults() const { return m_defaults; }

    MenuBarStyle menuBarStyle() const { return m_menuBarStyle; }
    // The volume the menu bar's space figure is about; none for the automatic choice.
    const std::optional<QString>& pinnedVolumeID() const { return m_pinnedVolumeID; }
    bool activityDuringTransfers() const { return m_activityDuringTransfers; }
    bool activityTrace() const { return m_activityTrace; }
    ByteUnits units() const { return m_units; }
    LowSpaceThreshold lowSpaceThreshold() const { return m_lowSpaceThreshold; }
    const QSet<VolumeKind>& volumesShown() const { return m_volumesShown; }
    bool hideWhenNoExternal() const { return m_hideWhenNoExternal; }
    Accent accent() const { return m_accent; }
    bool notifyLowSpace() const { return m_notifyLowSpace; }
    bool notifyTransferFinished() const { return m_notifyTransferFinished; }
    PanelImage panelImage() const { return m_panelImage; }
    PanelInk panelInk() const { return m_panelInk; }

    // Each setter writes the stored form at once, even when the value is the same.
    void setMenuBarStyle(MenuBarStyle style);
    // None (or an empty id) removes the key.
    void setPinnedVolumeID(const std::optional<QString>& id);
    void setActivityDuringTransfers(bool on);
    void setActivityTrace(bool on);
    void setUnits(ByteUnits units);
    void setLowSpaceThreshold(LowSpaceThreshold threshold);
    void setVolumesShown(const QSet<VolumeKind>& kinds);
    void setHideWhenNoExternal(bool on);
    void setAccent(Accent accent);
    void setNotifyLowSpace(bool on);
    void setNotifyTransferFinished(bool on);
    void setPanelImage(PanelImage image);
    void setPanelInk(PanelInk ink);

    // The pinned volume while it is listed; with no pin the first external volume, else the boot
    // volume. A pinned volume that is away gives none, not the automatic choice.
    std::optional<Volume> pinnedVolume(const QList<Volume>& volumes) const;
    // The choice without a pin: the first external volume, else the boot volume.
    static std::optional<Volume> automaticVolume(const QList<Volume>& volumes);

    // Ten lines for the diagnostics report. Never names the pinned volume.
    QStringList settingsSummary() const;

signals:
    void menuBarStyleChanged();
    void pinnedVolumeIDChanged();
    void activityDuringTransfersChanged();
    void activityTraceChanged();
    void unitsChanged();
    void lowSpaceThresholdChanged();
    void volumesShownChanged();
    void hideWhenNoExternalChanged();
    void accentChanged();
    void notifyLowSpaceChanged();
    void notifyTransferFinishedChanged();
    void panelImageChanged();
    void panelInkChanged();

private:
    void write(const QString& key, const QVariant& value);
    template <typename T, typename Signal>
    void assign(T& field, const T& value, Signal changed);

    QSettings& m_defaults;
    MenuBarStyle m_menuBarStyle;
    std::optional<QString> m_pinnedVolumeID;
    bool m_activityDuringTransfers;
    bool m_activityTrace;
    ByteUnits m_units;
    LowSpaceThreshold m_lowSpaceThreshold;
    QSet<VolumeKind> m_volumesShown;
    bool m_hideWhenNoExternal;
    Accent m_accent;
    bool m_notifyLowSpace;
    bool m_notifyTransferFinished;
    PanelImage m_panelImage;
    PanelInk m_panelInk;
};

} // namespace mallowby
