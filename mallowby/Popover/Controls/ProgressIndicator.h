#pragma once

#include <QBasicTimer>
#include <QWidget>

namespace mallowby {

// A small spinning arc in the secondary colour; it turns only while shown.
class ProgressIndicator : public QWidget {
    Q_OBJECT
public:
    explicit ProgressIndicator(int side = 12, QWidget* parent = nullptr);

protected:
    void paintEvent(QPaintEvent* event) override;
    void showEvent(QShowEvent* event) override;
    void hideEvent(QHideEvent* event) override;
    void timerEvent(QTimerEvent* event) override;

private:
    QBasicTimer m_timer;
    int m_step = 0;
};

} // namespace mallowby
