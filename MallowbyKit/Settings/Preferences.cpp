#include "Settings/Preferences.h"

#include <QSettings>
#include <QStandardPaths>
#include <QVariant>

#include <algorithm>

namespace mallowby {

namespace {

// What an absent key reads as, where that is not the type's empty value.
const QVariantHash& registeredDefaults()
{
    static const QVariantHash defaults{
        {Preferences::activityDuringTransfersKey, true},
        {Preferences::activityTraceKey, true},
        {Preferences::volumesShownKey, QStringList{"external", "diskImage", "internal"}},
    };
    return defaults;
}

QVariant storedValue(const QSettings& store, const QString& key)
{
    if (store.contains(key))
        return store.value(key);
    return registeredDefaults().value(key);
}

// A string only; lists, numbers and byte arrays are not.
std::optional<QString> readString(const QSettings& store, const QString& key)
{
    const QVariant value = storedValue(store, key);
    if (value.typeId() == QMetaType::QString)
        return value.toString();
    return std::nullopt;
}

// The stored boolean (or number, non-zero being true); the fallback when the key is absent or
// holds neither.
bool readBool(const QSettings& store, const QString& key)
{
    const bool fallback = registeredDefaults().value(key, false).toBool();
    const QVariant value = storedValue(store, key);
    switch (value.typeId()) {
    case QMetaType::Bool:
        return value.toBool();
    case QMetaType::Int:
    case QMetaType::UInt:
    case QMetaType::LongLong:
    case QMetaType::ULongLong:
        return value.toLongLong() != 0;
    case QMetaType::QString: {
        // The INI file gives every scalar back as text.
        const QString text = value.toString().trimmed().toLower();
        if (text == QLatin1String("true") || text == QLatin1String("yes") || text == QLatin1String("on"))
            return true;
        if (text == QLatin1String("false") || text == QLatin1String("no") || text == QLatin1String("off"))
            return false;
        bool isNumber = false;
        const qint64 number = text.toLongLong(&isNumber);
        return isNumber ? number != 0 : fallback;
    }
    default:
        return fallback;
    }
}

// The stored array of strings, or none when the value is something else. The INI format reads a
// one-element list back as a plain string, and an empty one as an invalid value (which, like
// anything else that is not an array of strings, means an empty set to the caller).
std::optional<QStringList> readStringArray(const QSettings& store, const QString& key)
{
    const QVariant value = storedValue(store, key);
    switch (value.typeId()) {
    case QMetaType::QStringList:
        return value.toStringList();
    case QMetaType::QString:
        return QStringList{value.toString()};
    case QMetaType::QVariantList: {
        QStringList strings;
        for (const QVariant& element : value.toList()) {
            if (element.typeId() != QMetaType::QString)
                return std::nullopt;
            strings << element.toString();
        }
        return strings;
    }
    default:
        return std::nullopt;
    }
}

// The index of a stored name in `names`, 0 (automatic) for anything else.
int readChoice(const QSettings& store, const QString& key, const QStringList& names)
{
    return std::max<int>(0, int(names.indexOf(readString(store, key).value_or(QString()))));
}

std::optional<QString> nonEmpty(const std::optional<QString>& id)
{
    if (id && id->isEmpty())
        return std::nullopt;
    return id;
}

QString onOff(bool on)
{
    return on ? QStringLiteral("on") : QStringLiteral("off");
}

} // namespace

QString Preferences::userStorePath()
{
    return QStandardPaths::writableLocation(QStandardPaths::GenericConfigLocation)
           + QStringLiteral("/mallowby/mallowby.conf");
}

Preferences::Preferences(QSettings& defaults, QObject* parent) : QObject(parent), m_defaults(defaults)
{
    m_menuBarStyle = MenuBarStyle::fromRawValue(readString(defaults, menuBarStyleKey).value_or(QString()))
                         .value_or(MenuBarStyle::icon);
    m_pinnedVolumeID = nonEmpty(readString(defaults, pinnedVolumeIDKey));
    m_activityDuringTransfers = readBool(defaults, activityDuringTransfersKey);
    m_activityTrace = readBool(defaults, activityTraceKey);
    m_units = ByteUnits::fromRawValue(readString(defaults, unitsKey).value_or(QString())).value_or(ByteUnits::decimal);
    m_lowSpaceThreshold = LowSpaceThreshold::fromRawValue(readString(defaults, lowSpaceThresholdKey).value_or(QString()))
                              .value_or(LowSpaceThreshold::percent(10));
    for (const QString& raw : readStringArray(defaults, volumesShownKey).value_or(QStringList{}))
        if (const std::optional<VolumeKind> kind = VolumeKind::fromRawValue(raw))
            m_volumesShown.insert(*kind);
    m_hideWhenNoExternal = readBool(defaults, hideWhenNoExternalKey);
    m_accent = Accent::fromRawValue(readString(defaults, accentKey).value_or(QString())).value_or(Accent::phosphor);
    m_notifyLowSpace = readBool(defaults, notifyLowSpaceKey);
    m_notifyTransferFinished = readBool(defaults, notifyTransferFinishedKey);
    m_panelImage = PanelImage(readChoice(defaults, panelImageKey, panelImageNames()));
    m_panelInk = PanelInk(readChoice(defaults, panelInkKey, panelInkNames()));
}

const QStringList& Preferences::panelImageNames()
{
    static const QStringList names{"automatic", "wide", "label", "square"};
    return names;
}

const QStringList& Preferences::panelInkNames()
{
    static const QStringList names{"automatic", "light", "dark"};
    return names;
}

void Preferences::write(const QString& key, const QVariant& value)
{
    if (value.isValid())
        m_defaults.setValue(key, value);
    else
        m_defaults.remove(key);
    m_defaults.sync();
}

template <typename T, typename Signal>
void Preferences::assign(T& field, const T& value, Signal changed)
{
    if (field == value)
        return;
    field = value;
    emit(this->*changed)();
}

void Preferences::setMenuBarStyle(MenuBarStyle style)
{
    write(menuBarStyleKey, style.rawValue());
    assign(m_menuBarStyle, style, &Preferences::menuBarStyleChanged);
}

void Preferences::setPinnedVolumeID(const std::optional<QString>& id)
{
    const std::optional<QString> pin = nonEmpty(id);
    write(pinnedVolumeIDKey, pin ? QVariant(*pin) : QVariant());
    assign(m_pinnedVolumeID, pin, &Preferences::pinnedVolumeIDChanged);
}

void Preferences::setActivityDuringTransfers(bool on)
{
    write(activityDuringTransfersKey, on);
    assign(m_activityDuringTransfers, on, &Preferences::activityDuringTransfersChanged);
}

void Preferences::setActivityTrace(bool on)
{
    write(activityTraceKey, on);
    assign(m_activityTrace, on, &Preferences::activityTraceChanged);
}

void Preferences::setUnits(ByteUnits units)
{
    write(unitsKey, units.rawValue());
    assign(m_units, units, &Preferences::unitsChanged);
}

void Preferences::setLowSpaceThreshold(LowSpaceThreshold threshold)
{
    write(lowSpaceThresholdKey, threshold.rawValue());
    assign(m_lowSpaceThreshold, threshold, &Preferences::lowSpaceThresholdChanged);
}

void Preferences::setVolumesShown(const QSet<VolumeKind>& kinds)
{
    QStringList raw;
    for (VolumeKind kind : kinds)
        raw << kind.rawValue();
    std::sort(raw.begin(), raw.end());
    write(volumesShownKey, raw);
    assign(m_volumesShown, kinds, &Preferences::volumesShownChanged);
}

void Preferences::setHideWhenNoExternal(bool on)
{
    write(hideWhenNoExternalKey, on);
    assign(m_hideWhenNoExternal, on, &Preferences::hideWhenNoExternalChanged);
}

void Preferences::setAccent(Accent accent)
{
    write(accentKey, accent.rawValue());
    assign(m_accent, accent, &Preferences::accentChanged);
}

void Preferences::setNotifyLowSpace(bool on)
{
    write(notifyLowSpaceKey, on);
    assign(m_notifyLowSpace, on, &Preferences::notifyLowSpaceChanged);
}

void Preferences::setNotifyTransferFinished(bool on)
{
    write(notifyTransferFinishedKey, on);
    assign(m_notifyTransferFinished, on, &Preferences::notifyTransferFinishedChanged);
}

void Preferences::setPanelImage(PanelImage image)
{
    write(panelImageKey, panelImageNames().value(int(image)));
    assign(m_panelImage, image, &Preferences::panelImageChanged);
}

void Preferences::setPanelInk(PanelInk ink)
{
    write(panelInkKey, panelInkNames().value(int(ink)));
    assign(m_panelInk, ink, &Preferences::panelInkChanged);
}

std::optional<Volume> Preferences::pinnedVolume(const QList<Volume>& volumes) const
{
    if (!m_pinnedVolumeID)
        return automaticVolume(volumes);
    const auto it = std::find_if(volumes.begin(), volumes.end(), [&](const Volume& v) { return v.id == *m_pinnedVolumeID; });
    return it == volumes.end() ? std::nullopt : std::optional<Volume>(*it);
}

std::optional<Volume> Preferences::automaticVolume(const QList<Volume>& volumes)
{
    auto it = std::find_if(volumes.begin(), volumes.end(), [](const Volume& v) { return v.kind == VolumeKind::external; });
    if (it == volumes.end())
        it = std::find_if(volumes.begin(), volumes.end(), [](const Volume& v) { return v.isBoot; });
    return it == volumes.end() ? std::nullopt : std::optional<Volume>(*it);
}

QStringList Preferences::settingsSummary() const
{
    QStringList shown;
    for (VolumeKind kind : VolumeKind::allCases())
        if (m_volumesShown.contains(kind))
            shown << kind.rawValue();
    return {
        QStringLiteral("style ") + m_menuBarStyle.rawValue(),
        QStringLiteral("pinned ") + (m_pinnedVolumeID ? QStringLiteral("chosen") : QStringLiteral("automatic")),
        QStringLiteral("activity during transfers ") + onOff(m_activityDuringTransfers),
        QStringLiteral("trace ") + onOff(m_activityTrace),
        QStringLiteral("units ") + m_units.rawValue(),
        QStringLiteral("low space ") + m_lowSpaceThreshold.rawValue(),
        QStringLiteral("shown ") + shown.join(QLatin1Char('+')),
        QStringLiteral("hide without external ") + onOff(m_hideWhenNoExternal),
        QStringLiteral("notify low space ") + onOff(m_notifyLowSpace),
        QStringLiteral("notify transfer finished ") + onOff(m_notifyTransferFinished),
    };
}

} // namespace mallowby
