#pragma once

#include <QDBusConnection>
#include <QIcon>
#include <QImage>
#include <QObject>
#include <QPointer>
#include <QRect>
#include <QRectF>
#include <QString>

class QMenu;
class QSystemTrayIcon;
class QWidget;

namespace mallowby {

class PanelAppearance;

// The one tray item: an image of variable width with a tooltip and a spoken label, and its
// clicks. Over QSystemTrayIcon (StatusNotifierItem or XEmbed); it keeps what it was given, so the
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

    const QString& toolTip() const { return m_toolTip; }
    void setToolTip(const QString& text);

    // For screen readers. Handed to the tray where its protocol carries one (the XEmbed icon's
    // window); StatusNotifierItem has no such field.
    const QString& accessibilityLabel() const { return m_accessibilityLabel; }
    void setAccessibilityLabel(const QString& text);

    // "dark" where the desktop prefers dark (its settings portal) or the palette is dark, else
    // "light".
    QString appearance() const;
    // Follows the desktop's colour preference on this bus (the user's session bus from the start).
    void followPanel(QDBusConnection sessionBus);
    // Pixels per point of the screen the item is on; 2 when the item has no window of its own.
    double scale() const;

    // Where the item is on screen; empty when the tray does not say.
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
    mutable QPointer<QWidget> m_trayWindow;
    QPointer<QWindow> m_followedWindow;
};

} // namespace mallowby
