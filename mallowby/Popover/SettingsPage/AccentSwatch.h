#pragma once

#include "Settings/Accent.h"

#include <QPushButton>

namespace mallowby {

// A circle in an accent's colour; the selected one has an outline in the text colour. Spoken as
// the accent's name, checked while it is the current accent.
class AccentSwatch : public QPushButton {
    Q_OBJECT
public:
    static constexpr int diameter = 16;

    explicit AccentSwatch(Accent accent, QWidget* parent = nullptr);

    Accent accent() const { return m_accent; }
    static QString spokenName(Accent accent);

    QSize sizeHint() const override;

protected:
    void paintEvent(QPaintEvent* event) override;

private:
    Accent m_accent;
};

} // namespace mallowby
