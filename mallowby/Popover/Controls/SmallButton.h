#pragma once

#include <QPushButton>

namespace mallowby {

// A push button as small as its text: the popover's small controls, without the wide minimum
// that desktop styles give dialog buttons.
class SmallButton : public QPushButton {
    Q_OBJECT
public:
    explicit SmallButton(const QString& text = QString(), QWidget* parent = nullptr);

    QSize sizeHint() const override;
    QSize minimumSizeHint() const override { return sizeHint(); }
};

} // namespace mallowby
