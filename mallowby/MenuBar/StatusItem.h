#pragma once

#include <QDBusConnection>
#include <QIcon>
#include <QImage>
#include <QObject>
#include <QPointer>
#include <QRect>
#include <QRectF>
#include <QString>

#include "MenuBar/PanelHost.h"
#include "MenuBar/SquareIcon.h"
#include "MenuBar/StatusNotifierItem.h"
#include "Settings/Preferences.h"

#include <functional>
#include <optional>

class QMenu;
class QSystemTrayIcon;
class QWidget;

namespace mallowby {

class DBusMenuExporter;
class PanelAppearance;
class StatusNotifierItem;

// The one tray item: an image of variable width with a tooltip and a spoken label, and its
// clicks. A StatusNotifierItem of its own where a watcher runs, showing the face that panel reads
// best (the wide image, a label beside a square icon, or the square icon), with its menu exported
// over dbusmenu; the XEmbed QSystemTrayIcon where none runs. It keeps what it was given, so the
// item can be read back where no tray is running. Main thread only.
class StatusItem : public QObject {
    Q_OBJECT
public:
    // Points; the bar thickness.
    static constexpr double buttonHeight = 22;

    explicit StatusItem(QObject* parent = nullptr);
    ~StatusItem() override;

    bool isVisible() const { return m_visible; }
    void setVisible(bool visible);

    // Width in points.
    double length() const { return m_length; }
    void setLength(double points);

    // The image as drawn, at `scale` pixels per point, placed at `frame` (points) inside the item.
    const QImage& image() const { return m_image; }
    const QRectF& imageFrame() const { return m_imageFrame; }
    void setImage(const QImage& image, const QRectF& frame, double scale);

    // What the other faces show, from the same inputs as the image.
    struct Faces {
        SquareIcon::State square;
        SquareIcon::Colors colors;  // accent and write colours; the ink is the item's own
        QString label;              // the image's figures as text
        QString labelGuide;         // the widest label of the reserved styles
        QList<QImage> wide;         // the image at each scale a panel may want
        bool operator==(const Faces&) const = default;
    };
    void setFaces(const Faces& faces);
    // The user's choice of face and ink.
    void setChoices(Preferences::PanelImage image, Preferences::PanelInk ink);
    // The face a StatusNotifierItem panel gets now.
    PanelHost::Face face() const;
    // The item is registered with a StatusNotifierWatcher.
    bool usesStatusNotifier() const;
    StatusNotifierItem& notifierItem() const { return *m_notifier; }
    // Exports this menu to panels that draw menus themselves; `aboutToShow` runs before they read it.
    void exportMenu(QMenu* menu, std::function<void()> aboutToShow);

    const QString& toolTip() const { return m_toolTip; }
    void setToolTip(const QString& text);

    // For screen readers. Handed to the tray where its protocol carries one (the XEmbed icon's
    // window); StatusNotifierItem has no such field.
    const QString& accessibilityLabel() const { return m_accessibilityLabel; }
    void setAccessibilityLabel(const QString& text);

    // "dark" where the desktop prefers dark (its settings portal) or the palette is dark, else
    // "light".
    QString appearance() const;
    // Follows the desktop's colour preference, and publishes the item, on this bus (the user's
    // session bus from the start).
    void followPanel(QDBusConnection sessionBus);
    // Pixels per point of the screen the item is on; 2 when the item has no window of its own.
    double scale() const;

    // Where the item is on screen, or the point the panel passed with its last click; empty when
    // neither is known.
    QRect geometry() const;
    // Opens a menu under the item, or at the pointer where its place is unknown.
    void popUpMenu(QMenu* menu);

    // A tray host is running.
    static bool isTrayAvailable();

signals:
    // A click on the item, with the keyboard modifiers held.
    void clicked(Qt::MouseButton button, Qt::KeyboardModifiers modifiers);
    void appearanceChanged();
    // The item moved to a screen with another scale.
    void backingChanged();

protected:
    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    static bool hasPlatformTray();
    void updateIcon();
    QIcon picture() const;
    // The XEmbed icon's window, once the tray has embedded it.
    QWidget* trayWindow() const;
    // Takes up a newly embedded icon window: true when there was one.
    bool followTrayWindow();
    void updateAppearance();
    void updateNotifier();
    void takeClick(QPoint at, Qt::MouseButton button);
    // The XEmbed icon is wanted: a tray to embed in, and no watcher took the item.
    bool wantsEmbedded() const;

    QSystemTrayIcon* m_tray;
    bool m_visible = false;
    double m_length = 0;
    QImage m_image;
    QRectF m_imageFrame;
    double m_imageScale = 1;
    QString m_toolTip;
    QString m_accessibilityLabel;
    QString m_appearance;
    PanelAppearance* m_panel;
    StatusNotifierItem* m_notifier;
    DBusMenuExporter* m_menuExporter = nullptr;
    std::optional<QDBusConnection> m_bus;
    Faces m_faces;
    std::optional<std::pair<SquareIcon::State, SquareIcon::Colors>> m_squareDrawn;
    StatusNotifierItem::Pixmaps m_squarePixmaps;
    Preferences::PanelImage m_imageChoice = Preferences::PanelImage::automatic;
    Preferences::PanelInk m_inkChoice = Preferences::PanelInk::automatic;
    QPoint m_hostPoint;
    mutable QPointer<QWidget> m_trayWindow;
    QPointer<QWindow> m_followedWindow;
};

} // namespace mallowby
