#pragma once

#include <QWidget>

class QLabel;
class QPushButton;

namespace mallowby {

// A question with a cancel button (Escape) and a destructive confirm button tinted red, on a
// faint red rounded rectangle.
class ConfirmationPanel : public QWidget {
    Q_OBJECT
public:
    explicit ConfirmationPanel(QWidget* parent = nullptr);

    void present(const QString& question, const QString& cancel, const QString& confirm);
    void setConfirmEnabled(bool enabled);
    QPushButton* cancelButton() const { return m_cancel; }

signals:
    void cancelled();
    void confirmed();

protected:
    void paintEvent(QPaintEvent* event) override;
    void changeEvent(QEvent* event) override;

private:
    void tint();

    QLabel* m_question;
    QPushButton* m_cancel;
    QPushButton* m_confirm;
};

} // namespace mallowby
