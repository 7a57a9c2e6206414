#include "Popover/Controls/PopoverButton.h"

#include "Symbols/SymbolIcon.h"

#include <QKeyEvent>
#include <QMenu>

namespace mallowby {

PopoverButton::PopoverButton(const QString& text, const QString& symbol, PopoverTheme::Tone tone, QWidget* parent)
    : QToolButton(parent)
{
    setAutoRaise(true);
    setFocusPolicy(Qt::StrongFocus);
    setCursor(Qt::PointingHandCursor);
    setFont(PopoverTheme::font(PopoverTheme::Font::caption));
    setText(text);
    setToolButtonStyle(text.isEmpty() ? Qt::ToolButtonIconOnly
                                      : (symbol.isEmpty() ? Qt::ToolButtonTextOnly : Qt::ToolButtonTextBesideIcon));
    setIconSize(QSize(13, 13));
    PopoverTheme::setTone(this, tone);
    setSymbol(symbol);
}

void PopoverButton::setSymbol(const QString& symbol)
{
    if (symbol == m_symbol)
        return;
    m_symbol = symbol;
    m_iconColor = 0;
    updateIcon();
}

void PopoverButton::setPopupMenu(const QList<std::pair<QString, std::function<void()>>>& items)
{
    delete m_popupMenu;
    m_popupMenu = new QMenu(this);
    for (const auto& [text, action] : items)
        connect(m_popupMenu->addAction(text), &QAction::triggered, this, action);
    connect(this, &QToolButton::clicked, m_popupMenu, [this] { m_popupMenu->popup(mapToGlobal(rect().bottomLeft())); });
}

void PopoverButton::updateIcon()
{
    const QColor color = palette().color(QPalette::ButtonText);
    if (m_symbol.isEmpty() || color.rgba() == m_iconColor)
        return;
    m_iconColor = color.rgba();
    setIcon(SymbolIcon::icon(m_symbol, color, 11));
}

void PopoverButton::keyPressEvent(QKeyEvent* event)
{
    const bool press = event->key() == Qt::Key_Return || event->key() == Qt::Key_Enter;
    if (press && isEnabled() && event->modifiers() == Qt::NoModifier) {
        if (menu())
            showMenu();
        else
            animateClick();
        event->accept();
        return;
    }
    QToolButton::keyPressEvent(event);
}

void PopoverButton::changeEvent(QEvent* event)
{
    QToolButton::changeEvent(event);
    if (event->type() == QEvent::PaletteChange)
        updateIcon();
}

} // namespace mallowby
