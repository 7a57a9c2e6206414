#pragma once

#include <QAbstractButton>

namespace mallowby {

// An on/off switch with its label: the text on the leading side, the switch at the trailing
// edge, filled with the accent while on. Checkable; Space toggles it, and the row is as wide as
// its layout gives it.
class Switch : public QAbstractButton {
    Q_OBJECT
public:
    explicit Switch(const QString& text, QWidget* parent = nullptr);

    QSize sizeHint() const override;
    QSize minimumSizeHint() const override;

protected:
    void paintEvent(QPaintEvent* event) override;

private:
    QRectF track() const;
};

} // namespace mallowby
