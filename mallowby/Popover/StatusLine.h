#pragma once

#include <QWidget>

namespace mallowby {

// A running operation under a card's header or row: a small progress indicator beside a caption
// ("Ejecting…", "Unmounting…") in the secondary colour.
class StatusLine : public QWidget {
    Q_OBJECT
public:
    explicit StatusLine(const QString& text, QWidget* parent = nullptr);
};

} // namespace mallowby
