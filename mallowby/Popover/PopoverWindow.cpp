#include "Popover/PopoverWindow.h"

#include "Popover/Controls/PopoverTheme.h"

#include <QGuiApplication>
#include <QKeyEvent>
#include <QPaintEvent>
#include <QPainter>
#include <QScreen>
#include <QVBoxLayout>

#include <algorithm>

namespace mallowby {

namespace {

bool onWayland()
{
    return QGuiApplication::platformName().startsWith(QLatin1String("wayland"));
}

Qt::WindowFlags flagsFor(PopoverWindow::Behavior behavior)
{
    // A Wayland client cannot place a window, and a popup needs a parent surface it has not got:
    // a small dialog of fixed size, which compositors float and place themselves.
    if (behavior == PopoverWindow::Behavior::transient && onWayland())
        return Qt::Dialog | Qt::FramelessWindowHint;
    // A popup grabs pointer and keyboard and closes at the first click elsewhere; a tool window
    // without frame stays, on top, and has no taskbar entry either.
    if (behavior == PopoverWindow::Behavior::transient)
        return Qt::Popup | Qt::FramelessWindowHint | Qt::NoDropShadowWindowHint;
    return Qt::Tool | Qt::FramelessWindowHint | Qt::WindowStaysOnTopHint;
}

} // namespace

PopoverWindow::PopoverWindow(Behavior behavior, QWidget* parent)
    : QWidget(parent, flagsFor(behavior)), m_behavior(behavior)
{
    setObjectName(QStringLiteral("mallowby-popover"));
    setWindowTitle(QStringLiteral("mallowby"));
    setAttribute(Qt::WA_TranslucentBackground);
    setAttribute(Qt::WA_QuitOnClose, false);
    setFixedWidth(fixedWidth);
    auto* layout = new QVBoxLayout(this);
    layout->setContentsMargins(padding, padding, padding, padding);
    layout->setSpacing(10);
    setMinimumHeight(2 * padding + 40);
}

void PopoverWindow::setContent(QWidget* content)
{
    if (m_content)
        m_content->deleteLater();
    m_content = content;
    if (content)
        layout()->addWidget(content);
}

void PopoverWindow::showAt(const QRect& anchor, const QPoint& pointer)
{
    const QRect target = anchor.isEmpty() ? QRect(pointer, QSize(1, 1)) : anchor;
    QScreen* screen = QGuiApplication::screenAt(target.center());
    if (!screen)
        screen = QGuiApplication::primaryScreen();
    if (layout())
        layout()->activate();
    const QSize size(fixedWidth, std::max(sizeHint().height(), minimumHeight()));
    resize(size);
    if (onWayland())
        setFixedHeight(size.height());
    if (screen) {
        setScreen(screen);
        move(placement(size, target, screen->availableGeometry()));
    }
    show();
    raise();
    activateWindow();
}

QPoint PopoverWindow::placement(const QSize& size, const QRect& anchor, const QRect& available)
{
    constexpr int gap = 4;
    int x = anchor.left() + (anchor.width() - size.width()) / 2;
    int y = anchor.bottom() + 1 + gap;
    if (y + size.height() > available.bottom() + 1 && anchor.top() - gap - size.height() >= available.top())
        y = anchor.top() - gap - size.height();
    // Inside the available area, the left and top edges winning when it is too small.
    x = std::max(available.left(), std::min(x, available.right() + 1 - size.width()));
    y = std::max(available.top(), std::min(y, available.bottom() + 1 - size.height()));
    return {x, y};
}

void PopoverWindow::paintEvent(QPaintEvent* event)
{
    QPainter painter(this);
    QColor background = palette().color(QPalette::Window);
    background.setAlphaF(0.92f);
    QColor border = palette().color(QPalette::WindowText);
    border.setAlphaF(0.15f);
    PopoverTheme::paintPanel(painter, rect(), event->region(), background, border, 10);
}

void PopoverWindow::keyPressEvent(QKeyEvent* event)
{
    if (event->key() == Qt::Key_Escape) {
        close();
        return;
    }
    QWidget::keyPressEvent(event);
}

void PopoverWindow::changeEvent(QEvent* event)
{
    QWidget::changeEvent(event);
    // The Wayland dialog stands in for a popup: it closes when it loses the focus.
    if (event->type() != QEvent::ActivationChange || m_behavior != Behavior::transient || !onWayland())
        return;
    if (isActiveWindow())
        m_wasActive = true;
    else if (m_wasActive && isVisible())
        close();
}

void PopoverWindow::hideEvent(QHideEvent* event)
{
    QWidget::hideEvent(event);
    emit closed();
}

} // namespace mallowby
