#pragma once

#include "Popover/Controls/PopoverTheme.h"

#include <QToolButton>

#include <functional>
#include <utility>

namespace mallowby {

// A borderless button of the popover: a symbol and/or a caption, reachable by Tab and pressed by
// Space, Return or Enter; one with a menu opens it instead.
class PopoverButton : public QToolButton {
    Q_OBJECT
public:
    PopoverButton(const QString& text, const QString& symbol, PopoverTheme::Tone tone = PopoverTheme::Tone::primary,
                  QWidget* parent = nullptr);

    void setSymbol(const QString& symbol);

    // A press opens a menu of these items under the button (without the toolkit's arrow).
    void setPopupMenu(const QList<std::pair<QString, std::function<void()>>>& items);
    QMenu* popupMenu() const { return m_popupMenu; }

protected:
    void keyPressEvent(QKeyEvent* event) override;
    void changeEvent(QEvent* event) override;

private:
    void updateIcon();

    QString m_symbol;
    QRgb m_iconColor = 0;
    QMenu* m_popupMenu = nullptr;
};

} // namespace mallowby
