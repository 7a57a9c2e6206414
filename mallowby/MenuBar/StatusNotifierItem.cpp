#include "MenuBar/StatusNotifierItem.h"

#include "MenuBar/PanelHost.h"

#include <QDBusMessage>
#include <QDBusMetaType>
#include <QDBusPendingCallWatcher>
#include <QDBusPendingReply>
#include <QDBusServiceWatcher>
#include <QPointer>
#include <QtEndian>

namespace mallowby {

StatusNotifierItem::Pixmap StatusNotifierItem::Pixmap::fromImage(const QImage& image)
{
    const QImage argb = image.convertToFormat(QImage::Format_ARGB32);
    Pixmap pixmap{.width = argb.width(), .height = argb.height(), .data = {}};
    pixmap.data.resize(qsizetype(argb.width()) * argb.height() * 4);
    auto* out = reinterpret_cast<quint32*>(pixmap.data.data());
    for (int y = 0; y < argb.height(); ++y) {
        const auto* row = reinterpret_cast<const quint32*>(argb.constScanLine(y));
        for (int x = 0; x < argb.width(); ++x)
            *out++ = qToBigEndian(row[x]);
    }
    return pixmap;
}

QImage StatusNotifierItem::Pixmap::toImage() const
{
    if (width <= 0 || height <= 0 || data.size() != qsizetype(width) * height * 4)
        return {};
    QImage image(width, height, QImage::Format_ARGB32);
    const auto* in = reinterpret_cast<const quint32*>(data.constData());
    for (int y = 0; y < height; ++y) {
        auto* row = reinterpret_cast<quint32*>(image.scanLine(y));
        for (int x = 0; x < width; ++x)
            row[x] = qFromBigEndian(*in++);
    }
    return image;
}

QDBusArgument& operator<<(QDBusArgument& argument, const StatusNotifierItem::Pixmap& pixmap)
{
    argument.beginStructure();
    argument << pixmap.width << pixmap.height << pixmap.data;
    argument.endStructure();
    return argument;
}

const QDBusArgument& operator>>(const QDBusArgument& argument, StatusNotifierItem::Pixmap& pixmap)
{
    argument.beginStructure();
    argument >> pixmap.width >> pixmap.height >> pixmap.data;
    argument.endStructure();
    return argument;
}

QDBusArgument& operator<<(QDBusArgument& argument, const StatusNotifierItem::Tip& tip)
{
    argument.beginStructure();
    argument << tip.iconName << tip.icon << tip.title << tip.subtitle;
    argument.endStructure();
    return argument;
}

const QDBusArgument& operator>>(const QDBusArgument& argument, StatusNotifierItem::Tip& tip)
{
    argument.beginStructure();
    argument >> tip.iconName >> tip.icon >> tip.title >> tip.subtitle;
    argument.endStructure();
    return argument;
}

void StatusNotifierItem::registerTypes()
{
    static const bool once = [] {
        qDBusRegisterMetaType<Pixmap>();
        qDBusRegisterMetaType<Pixmaps>();
        qDBusRegisterMetaType<Tip>();
        return true;
    }();
    (void)once;
}

StatusNotifierItem::StatusNotifierItem(QObject* parent) : QObject(parent)
{
    registerTypes();
    m_toolTip.title = title();
}

StatusNotifierItem::~StatusNotifierItem()
{
    if (m_bus)
        m_bus->unregisterObject(objectPath);
}

void StatusNotifierItem::attach(QDBusConnection bus)
{
    if (m_bus)
        m_bus->unregisterObject(objectPath);
    delete m_watcher;
    m_watcher = nullptr;
    ++m_generation;
    m_bus.reset();
    setRegistered(false);
    if (!bus.isConnected()) {
        m_settled = true;
        emit registeredChanged();
        return;
    }
    m_settled = false;
    m_bus = bus;
    m_bus->registerObject(objectPath, this, QDBusConnection::ExportScriptableContents | QDBusConnection::ExportAllProperties);
    m_watcher = new QDBusServiceWatcher(watcherService, *m_bus, QDBusServiceWatcher::WatchForOwnerChange, this);
    connect(m_watcher, &QDBusServiceWatcher::serviceOwnerChanged, this,
            [this](const QString&, const QString&, const QString& newOwner) {
                ++m_generation;
                if (newOwner.isEmpty())
                    setRegistered(false);
                else
                    registerWithWatcher();
            });
    registerWithWatcher();
}

void StatusNotifierItem::registerWithWatcher()
{
    if (!m_bus)
        return;
    const quint64 generation = m_generation;
    QDBusMessage call = QDBusMessage::createMethodCall(watcherService, QStringLiteral("/StatusNotifierWatcher"),
                                                       watcherService, QStringLiteral("RegisterStatusNotifierItem"));
    call << m_bus->baseService();
    auto* pending = new QDBusPendingCallWatcher(m_bus->asyncCall(call), this);
    connect(pending, &QDBusPendingCallWatcher::finished, this, [this, pending, generation] {
        pending->deleteLater();
        if (generation != m_generation)
            return;
        const bool ok = !pending->isError();
        const bool first = !m_settled;
        m_settled = true;
        setRegistered(ok);
        if (first && !ok)
            emit registeredChanged();  // settled without a watcher: the caller falls back
        if (ok)
            askHostProcess();
    });
}

void StatusNotifierItem::askHostProcess()
{
    const quint64 generation = m_generation;
    QDBusMessage call = QDBusMessage::createMethodCall(QStringLiteral("org.freedesktop.DBus"), QStringLiteral("/org/freedesktop/DBus"),
                                                       QStringLiteral("org.freedesktop.DBus"),
                                                       QStringLiteral("GetConnectionUnixProcessID"));
    call << watcherService;
    auto* pending = new QDBusPendingCallWatcher(m_bus->asyncCall(call), this);
    connect(pending, &QDBusPendingCallWatcher::finished, this, [this, pending, generation] {
        pending->deleteLater();
        if (generation != m_generation)
            return;
        const QDBusPendingReply<quint32> reply = *pending;
        const QString name = reply.isError() ? QString() : PanelHost::processName(reply.value());
        if (name == m_hostProcess)
            return;
        m_hostProcess = name;
        emit hostProcessChanged();
    });
}

void StatusNotifierItem::setRegistered(bool registered)
{
    if (m_registered == registered)
        return;
    m_registered = registered;
    emit registeredChanged();
}

void StatusNotifierItem::setPixmaps(const Pixmaps& pixmaps)
{
    if (m_pixmaps == pixmaps)
        return;
    m_pixmaps = pixmaps;
    emit NewIcon();
}

void StatusNotifierItem::setToolTip(const QString& subtitle)
{
    if (m_toolTip.subtitle == subtitle)
        return;
    m_toolTip.subtitle = subtitle;
    emit NewToolTip();
}

void StatusNotifierItem::setLabel(const QString& label, const QString& guide)
{
    if (m_label == label && m_labelGuide == guide)
        return;
    m_label = label;
    m_labelGuide = guide;
    emit XAyatanaNewLabel(label, guide);
}

void StatusNotifierItem::setActive(bool active)
{
    if (m_active == active)
        return;
    m_active = active;
    emit NewStatus(status());
}

void StatusNotifierItem::setAccessibleDescription(const QString& text)
{
    // Hosts read it with the tooltip.
    if (m_accessibleDescription == text)
        return;
    m_accessibleDescription = text;
    emit NewToolTip();
}

void StatusNotifierItem::Activate(int x, int y)
{
    emit activated(QPoint(x, y));
}

void StatusNotifierItem::SecondaryActivate(int x, int y)
{
    emit secondaryActivated(QPoint(x, y));
}

void StatusNotifierItem::ContextMenu(int x, int y)
{
    emit contextMenuRequested(QPoint(x, y));
}

void StatusNotifierItem::Scroll(int, const QString&) {}

void StatusNotifierItem::ProvideXdgActivationToken(const QString& token)
{
    // Qt's Wayland backend activates the next window with this token.
    qputenv("XDG_ACTIVATION_TOKEN", token.toUtf8());
}

} // namespace mallowby
