#include "MenuBar/StatusItem.h"

#include "MenuBar/DBusMenuExporter.h"
#include "MenuBar/PanelAppearance.h"
#include "MenuBar/StatusNotifierItem.h"
#include "Platform/Linux/SessionBus.h"

#include <QApplication>
#include <QCursor>
#include <QEvent>
#include <QGuiApplication>
#include <QMenu>
#include <QMouseEvent>
#include <QPainter>
#include <QPalette>
#include <QScreen>
#include <QSystemTrayIcon>
#include <QWidget>
#include <QWindow>

#include <cmath>

namespace mallowby {

StatusItem::StatusItem(QObject* parent)
    : QObject(parent),
      m_tray(new QSystemTrayIcon(this)),
      m_panel(new PanelAppearance(this)),
      m_notifier(new StatusNotifierItem(this))
{
    updateAppearance();
    m_notifier->setActive(m_visible);
    connect(m_panel, &PanelAppearance::colorSchemeChanged, this, &StatusItem::updateAppearance);
    connect(m_notifier, &StatusNotifierItem::registeredChanged, this, [this] {
        updateAppearance();
        updateIcon();
        updateNotifier();
        emit backingChanged();  // the faces of the new way are wanted
    });
    connect(m_notifier, &StatusNotifierItem::hostProcessChanged, this, [this] {
        updateAppearance();
        updateNotifier();
    });
    connect(m_notifier, &StatusNotifierItem::activated, this, [this](QPoint at) { takeClick(at, Qt::LeftButton); });
    connect(m_notifier, &StatusNotifierItem::secondaryActivated, this,
            [this](QPoint at) { takeClick(at, Qt::MiddleButton); });
    connect(m_notifier, &StatusNotifierItem::contextMenuRequested, this,
            [this](QPoint at) { takeClick(at, Qt::RightButton); });
    followPanel(SessionBus::user());
    connect(m_tray, &QSystemTrayIcon::activated, this, [this](QSystemTrayIcon::ActivationReason reason) {
        // The XEmbed icon reports presses with the modifiers of that event; a StatusNotifierItem
        // host sends none, so ask the window system for the keys held now.
        const Qt::KeyboardModifiers modifiers = QGuiApplication::queryKeyboardModifiers();
        switch (reason) {
        case QSystemTrayIcon::Trigger:
        case QSystemTrayIcon::DoubleClick:  // the second press of two quick ones: a click too
            emit clicked(Qt::LeftButton, modifiers);
            break;
        case QSystemTrayIcon::Context:
            emit clicked(Qt::RightButton, modifiers);
            break;
        case QSystemTrayIcon::MiddleClick:
            emit clicked(Qt::MiddleButton, modifiers);
            break;
        default:
            break;
        }
    });
    // Palette changes reach the application object first.
    qApp->installEventFilter(this);
}

StatusItem::~StatusItem()
{
    if (qApp)
        qApp->removeEventFilter(this);
}

bool StatusItem::hasPlatformTray()
{
    // The offscreen platform (tests, the developer modes without a display) has no tray to
    // wait for; the item is kept all the same.
    return QGuiApplication::platformName() != QStringLiteral("offscreen");
}

bool StatusItem::isTrayAvailable()
{
    return QSystemTrayIcon::isSystemTrayAvailable();
}

bool StatusItem::wantsEmbedded() const
{
    return hasPlatformTray() && m_notifier->isSettled() && !m_notifier->isRegistered();
}

bool StatusItem::usesStatusNotifier() const
{
    return m_notifier->isRegistered();
}

void StatusItem::takeClick(QPoint at, Qt::MouseButton button)
{
    // Panels on Wayland know no global coordinates; they pass (0, 0) or their own.
    const bool placed = !at.isNull() && !QGuiApplication::platformName().startsWith(QLatin1String("wayland"));
    m_hostPoint = placed ? at : QPoint();
    emit clicked(button, QGuiApplication::queryKeyboardModifiers());
}

void StatusItem::setVisible(bool visible)
{
    if (m_visible == visible)
        return;
    m_visible = visible;
    m_notifier->setActive(visible);
    // A tray shows an item only once it has an image.
    if (!m_image.isNull() && wantsEmbedded()) {
        m_tray->setVisible(visible);
        if (visible && followTrayWindow())
            m_tray->setIcon(picture());
    }
}

void StatusItem::setLength(double points)
{
    if (m_length == points)
        return;
    m_length = points;
    if (QWidget* window = trayWindow()) {
        // Hosts that honour the icon's requested size (trayer, stalonetray) make room for it;
        // the others scale the image into their slot.
        const int width = int(std::ceil(points));
        window->setMinimumWidth(width);
        window->resize(width, window->height());
    }
    updateIcon();
}

void StatusItem::setImage(const QImage& image, const QRectF& frame, double scale)
{
    m_image = image;
    m_imageFrame = frame;
    m_imageScale = scale;
    updateIcon();
}

void StatusItem::setToolTip(const QString& text)
{
    if (m_toolTip == text)
        return;
    m_toolTip = text;
    m_tray->setToolTip(text);
    m_notifier->setToolTip(text);
}

void StatusItem::setFaces(const Faces& faces)
{
    if (m_faces == faces)
        return;
    m_faces = faces;
    updateNotifier();
}

void StatusItem::setChoices(Preferences::PanelImage image, Preferences::PanelInk ink)
{
    if (m_imageChoice == image && m_inkChoice == ink)
        return;
    m_imageChoice = image;
    m_inkChoice = ink;
    updateAppearance();
    updateNotifier();
}

PanelHost::Face StatusItem::face() const
{
    switch (m_imageChoice) {
    case Preferences::PanelImage::wide:
        return PanelHost::Face::wide;
    case Preferences::PanelImage::label:
        return PanelHost::Face::label;
    case Preferences::PanelImage::square:
        return PanelHost::Face::square;
    case Preferences::PanelImage::automatic:
        break;
    }
    return PanelHost::forProcess(m_notifier->hostProcess()).face;
}

void StatusItem::updateNotifier()
{
    const PanelHost::Face shown = face();
    StatusNotifierItem::Pixmaps pixmaps;
    if (shown == PanelHost::Face::wide) {
        for (const QImage& image : std::as_const(m_faces.wide))
            pixmaps << StatusNotifierItem::Pixmap::fromImage(image);
    } else {
        SquareIcon::Colors colors = m_faces.colors;
        colors.ink = SquareIcon::ink(m_appearance == QLatin1String("dark"));
        // Drawn again only when what it shows changed, not on every sample.
        if (m_squareDrawn != std::pair(m_faces.square, colors)) {
            m_squarePixmaps.clear();
            for (int size : SquareIcon::sizes)
                m_squarePixmaps << StatusNotifierItem::Pixmap::fromImage(SquareIcon::render(m_faces.square, size, colors));
            m_squareDrawn = std::pair(m_faces.square, colors);
        }
        pixmaps = m_squarePixmaps;
    }
    m_notifier->setPixmaps(pixmaps);
    if (shown == PanelHost::Face::label)
        m_notifier->setLabel(m_faces.label, m_faces.labelGuide);
    else
        m_notifier->setLabel({}, {});
}

void StatusItem::exportMenu(QMenu* menu, std::function<void()> aboutToShow)
{
    if (m_menuExporter) {
        if (m_bus)
            m_bus->unregisterObject(StatusNotifierItem::menuPath);
        delete m_menuExporter;
    }
    m_menuExporter = new DBusMenuExporter(menu, this);
    m_menuExporter->setAboutToShow(std::move(aboutToShow));
    if (m_bus)
        m_bus->registerObject(StatusNotifierItem::menuPath, m_menuExporter,
                              QDBusConnection::ExportScriptableContents | QDBusConnection::ExportAllProperties);
}

void StatusItem::setAccessibilityLabel(const QString& text)
{
    if (m_accessibilityLabel == text)
        return;
    m_accessibilityLabel = text;
    if (QWidget* window = trayWindow())
        window->setAccessibleName(text);
    m_notifier->setAccessibleDescription(text);
}

QString StatusItem::appearance() const
{
    return m_appearance;
}

void StatusItem::followPanel(QDBusConnection sessionBus)
{
    m_panel->follow(sessionBus);
    if (m_bus && m_menuExporter)
        m_bus->unregisterObject(StatusNotifierItem::menuPath);
    m_bus = sessionBus;
    if (m_menuExporter)
        m_bus->registerObject(StatusNotifierItem::menuPath, m_menuExporter,
                              QDBusConnection::ExportScriptableContents | QDBusConnection::ExportAllProperties);
    m_notifier->attach(sessionBus);
}

void StatusItem::updateAppearance()
{
    // Some panels are dark whatever the scheme. Elsewhere: where the desktop prefers dark its panel
    // is dark, also under a light application palette (Qt does not take the preference from every
    // desktop); a dark palette is dark regardless. The user's choice of ink comes first.
    const bool darkHost = m_notifier->isRegistered() && PanelHost::forProcess(m_notifier->hostProcess()).darkPanel;
    bool dark = darkHost || m_panel->colorScheme() == PanelAppearance::ColorScheme::preferDark
                || QGuiApplication::palette().color(QPalette::Window).lightness() < 128;
    if (m_inkChoice != Preferences::PanelInk::automatic)
        dark = m_inkChoice == Preferences::PanelInk::light;
    const QString appearance = dark ? QStringLiteral("dark") : QStringLiteral("light");
    if (appearance == m_appearance)
        return;
    m_appearance = appearance;
    if (m_notifier)
        updateNotifier();
    emit appearanceChanged();
}

double StatusItem::scale() const
{
    if (QWidget* window = trayWindow())
        if (QWindow* handle = window->windowHandle())
            return handle->devicePixelRatio();
    return 2.0;
}

QRect StatusItem::geometry() const
{
    if (!m_hostPoint.isNull())
        return QRect(m_hostPoint, QSize(1, 1));
    return m_tray->geometry();
}

void StatusItem::popUpMenu(QMenu* menu)
{
    const QRect place = geometry();
    if (place.isEmpty()) {
        menu->popup(QCursor::pos());
        return;
    }
    const QSize size = menu->sizeHint();
    QPoint at(place.left(), place.bottom() + 1);
    if (const QScreen* screen = QGuiApplication::screenAt(place.center())) {
        const QRect available = screen->availableGeometry();
        if (at.y() + size.height() > available.bottom() + 1)
            at.setY(place.top() - size.height());
    }
    menu->popup(at);
}

bool StatusItem::eventFilter(QObject* watched, QEvent* event)
{
    if (watched == qApp && event->type() == QEvent::ApplicationPaletteChange) {
        updateAppearance();
    } else if (event->type() == QEvent::MouseButtonDblClick && watched == m_trayWindow
               && static_cast<QMouseEvent*>(event)->button() == Qt::RightButton) {
        // The XEmbed icon reports double clicks of the left button only.
        emit clicked(Qt::RightButton, static_cast<QMouseEvent*>(event)->modifiers());
    } else if (event->type() == QEvent::Resize && watched == m_trayWindow) {
        // The host gave the icon its slot; fit the picture to it again.
        updateIcon();
    } else if (event->type() == QEvent::Show && !m_trayWindow && watched->isWidgetType()
               && qstrcmp(watched->metaObject()->className(), "QSystemTrayIconSys") == 0) {
        // Embedded later than the item was shown: a tray host that started after the app.
        updateIcon();
    }
    return false;
}

QWidget* StatusItem::trayWindow() const
{
    if (!m_trayWindow && m_visible && qobject_cast<QApplication*>(QCoreApplication::instance())) {
        for (QWidget* widget : QApplication::topLevelWidgets())
            if (qstrcmp(widget->metaObject()->className(), "QSystemTrayIconSys") == 0) {
                m_trayWindow = widget;
                break;
            }
    }
    return m_trayWindow;
}

bool StatusItem::followTrayWindow()
{
    QWidget* window = trayWindow();
    if (!window || !window->windowHandle() || window->windowHandle() == m_followedWindow)
        return false;
    m_followedWindow = window->windowHandle();
    connect(m_followedWindow, &QWindow::screenChanged, this, &StatusItem::backingChanged);
    window->setAccessibleName(m_accessibilityLabel);
    if (m_length > 0) {
        window->setMinimumWidth(int(std::ceil(m_length)));
        window->resize(int(std::ceil(m_length)), window->height());
    }
    return true;
}

QIcon StatusItem::picture() const
{
    // The image at its frame, centred vertically in the height the host gave the icon, so that
    // nothing is scaled on the way.
    const QWidget* window = m_trayWindow;
    const double height = window ? window->height() : buttonHeight;
    const double width = std::max(m_length, m_imageFrame.right());
    const double scale = m_imageScale;
    QImage picture(int(std::ceil(width * scale)), int(std::ceil(height * scale)), QImage::Format_ARGB32_Premultiplied);
    picture.setDevicePixelRatio(scale);
    picture.fill(Qt::transparent);
    {
        QPainter painter(&picture);
        const double y = std::round((height - m_imageFrame.height()) / 2);
        painter.drawImage(QPointF(m_imageFrame.x(), y), m_image);
    }
    return QIcon(QPixmap::fromImage(picture));
}

void StatusItem::updateIcon()
{
    if (!wantsEmbedded()) {
        if (m_tray->isVisible())
            m_tray->hide();
        return;
    }
    if (m_image.isNull())
        return;
    m_tray->setIcon(picture());
    if (m_visible != m_tray->isVisible())
        m_tray->setVisible(m_visible);
    // The tray embeds a new icon window when the item is first shown (or the tray restarts).
    if (followTrayWindow())
        m_tray->setIcon(picture());
}

} // namespace mallowby
