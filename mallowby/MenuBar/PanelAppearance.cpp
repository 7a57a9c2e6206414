#include "MenuBar/PanelAppearance.h"

#include <QCoro/QCoroDBusPendingCall>
#include <QDBusArgument>
#include <QDBusMessage>

namespace mallowby {

namespace {

const QString portalService = QStringLiteral("org.freedesktop.portal.Desktop");
const QString portalPath = QStringLiteral("/org/freedesktop/portal/desktop");
const QString settingsInterface = QStringLiteral("org.freedesktop.portal.Settings");
const QString appearanceGroup = QStringLiteral("org.freedesktop.appearance");
const QString colorSchemeKey = QStringLiteral("color-scheme");

} // namespace

PanelAppearance::PanelAppearance(QObject* parent) : QObject(parent) {}

PanelAppearance::ColorScheme PanelAppearance::fromPortalValue(const QVariant& value)
{
    // Read answers a variant inside a variant; SettingChanged and ReadOne one level less.
    QVariant inner = value;
    while (inner.metaType() == QMetaType::fromType<QDBusVariant>())
        inner = qvariant_cast<QDBusVariant>(inner).variant();
    bool isNumber = false;
    const uint number = inner.toUInt(&isNumber);
    if (!isNumber || inner.metaType() == QMetaType::fromType<QString>())
        return ColorScheme::noPreference;
    switch (number) {
    case 1:
        return ColorScheme::preferDark;
    case 2:
        return ColorScheme::preferLight;
    default:
        return ColorScheme::noPreference;
    }
}

void PanelAppearance::follow(QDBusConnection bus)
{
    disconnectBus();
    ++m_generation;
    setColorScheme(ColorScheme::noPreference);
    if (!bus.isConnected())
        return;
    m_bus = bus;
    // Subscribed before reading, so that no change falls between the two. No sender in the
    // match: naming the service would make Qt resolve its owner synchronously.
    m_bus->connect(QString(), portalPath, settingsInterface, QStringLiteral("SettingChanged"), this,
                   SLOT(settingChanged(QDBusMessage)));
    read(this, bus, m_generation);
}

QCoro::Task<> PanelAppearance::read(QPointer<PanelAppearance> self, QDBusConnection bus, quint64 generation)
{
    QDBusMessage call = QDBusMessage::createMethodCall(portalService, portalPath, settingsInterface, QStringLiteral("Read"));
    call << appearanceGroup << colorSchemeKey;
    QDBusPendingCall pending = bus.asyncCall(call);
    const QDBusMessage reply = co_await pending;
    if (!self || self->m_generation != generation)
        co_return;
    // No portal, or one without the setting: no preference.
    if (reply.type() == QDBusMessage::ReplyMessage && !reply.arguments().isEmpty())
        self->setColorScheme(fromPortalValue(reply.arguments().first()));
}

void PanelAppearance::settingChanged(const QDBusMessage& message)
{
    const QVariantList arguments = message.arguments();
    if (arguments.size() < 3 || arguments[0].toString() != appearanceGroup || arguments[1].toString() != colorSchemeKey)
        return;
    ++m_generation;
    setColorScheme(fromPortalValue(arguments[2]));
}

void PanelAppearance::setColorScheme(ColorScheme scheme)
{
    if (m_colorScheme == scheme)
        return;
    m_colorScheme = scheme;
    emit colorSchemeChanged();
}

void PanelAppearance::disconnectBus()
{
    if (m_bus)
        m_bus->disconnect(QString(), portalPath, settingsInterface, QStringLiteral("SettingChanged"), this,
                          SLOT(settingChanged(QDBusMessage)));
    m_bus.reset();
}

} // namespace mallowby
