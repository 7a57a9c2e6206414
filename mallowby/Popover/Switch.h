#pragma once

#include <QAbstractButton>
#include <QColor>

namespace mallowby {

// An on/off switch with its label: the text on the leading side, the switch at the trailing
// edge. Checkable; Space toggles it, and the row is as wide as its layout gives it.
class Switch : public QAbstractButton {
    Q_OBJECT
public:
    explicit Switch(const QString& text, QWidget* parent = nullptr);

    // The fill of the switch while on.
    void setOnColor(const QColor& color);

    QSize sizeHint() const override;
    QSize minimumSizeHint() const override;

protected:
    void paintEvent(QPaintEvent* event) override;

private:
    QRectF track() const;

    QColor m_onColor;
};

} // namespace mallowby
