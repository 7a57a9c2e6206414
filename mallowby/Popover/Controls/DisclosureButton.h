#pragma once

#include <QAbstractButton>

namespace mallowby {

// A flat disclosure control: a triangle pointing right when closed and down when open, then
// its text. Checked means open.
class DisclosureButton : public QAbstractButton {
    Q_OBJECT
public:
    explicit DisclosureButton(QWidget* parent = nullptr);

    QSize sizeHint() const override;

protected:
    void paintEvent(QPaintEvent* event) override;
};

} // namespace mallowby
