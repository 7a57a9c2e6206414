#pragma once

#include <QLabel>

namespace mallowby {

// A section's title: upper case, small, semibold, widely tracked, in the secondary colour.
class SectionLabel : public QLabel {
    Q_OBJECT
public:
    explicit SectionLabel(const QString& title, QWidget* parent = nullptr);
};

} // namespace mallowby
