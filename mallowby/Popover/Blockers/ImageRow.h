#pragma once

#include "Eject/ImageBlocker.h"

#include <QWidget>

#include <functional>

class QLabel;
class QPushButton;

namespace mallowby {

// A disk image attached from an image file on the drive, with the button that ejects it.
class ImageRow : public QWidget {
    Q_OBJECT
public:
    ImageRow(const ImageBlocker& image, std::function<void(const ImageBlocker&)> eject, QWidget* parent = nullptr);

    const ImageBlocker& image() const { return m_image; }
    void setActionsEnabled(bool enabled);

protected:
    void changeEvent(QEvent* event) override;

private:
    void updateIcon();

    ImageBlocker m_image;
    QLabel* m_icon;
    QPushButton* m_eject = nullptr;
};

} // namespace mallowby
