#pragma once

#include <QCoro/QCoroTask>
#include <QDBusConnection>
#include <QDBusMessage>
#include <QDBusVariant>
#include <QObject>
#include <QPointer>

namespace mallowby {

// The desktop's colour preference, which panels follow even where the application palette does
// not: the XDG settings portal's org.freedesktop.appearance color-scheme, read without blocking
// and followed through its SettingChanged signal. No portal means no preference.
class PanelAppearance : public QObject {
    Q_OBJECT
public:
    enum class ColorScheme { noPreference, preferDark, preferLight };

    explicit PanelAppearance(QObject* parent = nullptr);

    ColorScheme colorScheme() const { return m_colorScheme; }

    // Follows the portal on this bus from now on; what an earlier bus said is forgotten. A bus
    // that is not connected gives no preference.
    void follow(QDBusConnection bus);

    // A color-scheme value as the portal sends it (a number, maybe inside variants).
    static ColorScheme fromPortalValue(const QVariant& value);

signals:
    void colorSchemeChanged();

private slots:
    // SettingChanged(namespace, key, value).
    void settingChanged(const QDBusMessage& message);

private:
    static QCoro::Task<> read(QPointer<PanelAppearance> self, QDBusConnection bus, quint64 generation);
    void setColorScheme(ColorScheme scheme);
    void disconnectBus();

    std::optional<QDBusConnection> m_bus;
    // Bumped by every newer word (another bus, a change signal): an older reading is dropped.
    quint64 m_generation = 0;
    ColorScheme m_colorScheme = ColorScheme::noPreference;
};

} // namespace mallowby
