#pragma once

#include <QPointer>
#include <QWidget>

namespace mallowby {

// The panel that opens at the tray item: a frameless window without a taskbar entry, placed
// under the item (above it when the panel is at the bottom of the screen), or at the pointer
// where the tray does not say where the item is. Transient panels close at the first click or
// key press elsewhere, and on Escape (on Wayland: a small dialog the compositor places, closing
// when it loses the focus); the other kind stays until closed.
class PopoverWindow : public QWidget {
    Q_OBJECT
public:
    enum class Behavior { transient, applicationDefined };

    static constexpr int fixedWidth = 340;
    static constexpr int padding = 14;

    explicit PopoverWindow(Behavior behavior, QWidget* parent = nullptr);

    Behavior behavior() const { return m_behavior; }

    // The view shown inside; the window takes ownership and sizes itself to it.
    void setContent(QWidget* content);
    QWidget* content() const { return m_content; }

    // Shows the window next to `anchor` (global coordinates; empty when the item's place is
    // unknown, then at `pointer`), activated.
    void showAt(const QRect& anchor, const QPoint& pointer);
    bool isShown() const { return isVisible(); }
    void performClose() { close(); }

    // Top left corner for a window of `size` next to `anchor` inside `available`: centred under
    // the anchor, above it when there is no room below, pushed inside the available area.
    static QPoint placement(const QSize& size, const QRect& anchor, const QRect& available);

signals:
    // The window was closed or hidden, by the user or by performClose().
    void closed();

protected:
    void paintEvent(QPaintEvent* event) override;
    void keyPressEvent(QKeyEvent* event) override;
    void hideEvent(QHideEvent* event) override;
    void changeEvent(QEvent* event) override;

private:
    Behavior m_behavior;
    bool m_wasActive = false;
    QPointer<QWidget> m_content;
};

} // namespace mallowby
