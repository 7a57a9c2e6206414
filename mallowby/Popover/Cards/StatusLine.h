#pragma once

#include <QWidget>

#include <optional>

class QLabel;

namespace mallowby {

class ProgressIndicator;
class UsageBar;

// A running operation under a card's header or row: a small progress indicator beside a caption
// ("Ejecting…", "Unmounting…") in the secondary colour; with a known share done, a bar below the
// caption in place of the indicator.
class StatusLine : public QWidget {
    Q_OBJECT
public:
    explicit StatusLine(const QString& text, QWidget* parent = nullptr);

    QString text() const;
    void setText(const QString& text);
    // The share done, 0…1; none for an operation of unknown length.
    void setProgress(std::optional<double> fraction);
    std::optional<double> progress() const;

private:
    ProgressIndicator* m_indicator;
    QLabel* m_text;
    UsageBar* m_bar;
};

} // namespace mallowby
