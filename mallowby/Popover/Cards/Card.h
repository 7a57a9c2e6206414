#pragma once

#include <QWidget>

class QVBoxLayout;

namespace mallowby {

// The container of the drive and network cards: a rounded panel in the faint fill with a thin
// border, orange while `highlighted`, else the accent (stronger with increased contrast).
class Card : public QWidget {
    Q_OBJECT
public:
    explicit Card(QWidget* parent = nullptr);

    bool isHighlighted() const { return m_highlighted; }
    void setHighlighted(bool highlighted);

    // The column the content goes in.
    QVBoxLayout* column() const { return m_column; }

protected:
    void paintEvent(QPaintEvent* event) override;

private:
    QVBoxLayout* m_column;
    bool m_highlighted = false;
};

} // namespace mallowby
