#pragma once

#include <QList>
#include <QPushButton>
#include <QStringList>
#include <QWidget>

#include <optional>

namespace mallowby {

// A row of segments of which at most one is selected, marked in the accent. Each segment is a checkable button named
// after its label, so a screen reader reads the choices and which one is on; the picker itself
// carries the name of what it sets. Only the user's choice is signalled.
class SegmentedPicker : public QWidget {
    Q_OBJECT
public:
    class Segment : public QPushButton {
    public:
        Segment(const QString& text, QWidget* parent);
        QSize sizeHint() const override;

    protected:
        void paintEvent(QPaintEvent* event) override;
    };

    SegmentedPicker(const QString& name, const QStringList& labels, QWidget* parent = nullptr);

    std::optional<int> selected() const { return m_selected; }
    // None clears every segment (a value the picker does not offer).
    void setSelected(std::optional<int> index);
    qsizetype count() const { return m_segments.size(); }
    Segment* segment(qsizetype index) const { return m_segments.value(index); }

signals:
    void chosen(int index);

private:
    QList<Segment*> m_segments;
    std::optional<int> m_selected;
};

} // namespace mallowby
