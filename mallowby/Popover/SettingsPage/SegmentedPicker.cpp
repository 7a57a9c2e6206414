#include "Popover/SettingsPage/SegmentedPicker.h"

#include "Popover/Controls/PopoverTheme.h"

#include <QHBoxLayout>
#include <QPainter>
#include <QStyle>
#include <QStyleOptionFocusRect>

namespace mallowby {

SegmentedPicker::Segment::Segment(const QString& text, QWidget* parent) : QPushButton(text, parent)
{
    setCheckable(true);
    setFocusPolicy(Qt::StrongFocus);
    setFont(PopoverTheme::font(PopoverTheme::Font::caption));
    setSizePolicy(QSizePolicy::Preferred, QSizePolicy::Fixed);
}

QSize SegmentedPicker::Segment::sizeHint() const
{
    const QFontMetrics metrics(font());
    return {metrics.horizontalAdvance(text()) + 14, metrics.height() + 6};
}

void SegmentedPicker::Segment::paintEvent(QPaintEvent*)
{
    QPainter painter(this);
    painter.setRenderHint(QPainter::Antialiasing);
    const QRectF box = QRectF(rect()).adjusted(1, 1, -1, -1);
    if (isChecked()) {
        QColor fill = PopoverTheme::color(palette(), PopoverTheme::Tone::accent);
        fill.setAlphaF(0.30f);
        painter.setPen(Qt::NoPen);
        painter.setBrush(fill);
        painter.drawRoundedRect(box, 4, 4);
    }
    painter.setPen(PopoverTheme::color(palette(), isChecked() ? PopoverTheme::Tone::primary : PopoverTheme::Tone::secondary));
    painter.setFont(font());
    painter.drawText(box, Qt::AlignCenter, text());
    if (hasFocus()) {
        QStyleOptionFocusRect option;
        option.initFrom(this);
        style()->drawPrimitive(QStyle::PE_FrameFocusRect, &option, &painter, this);
    }
}

SegmentedPicker::SegmentedPicker(const QString& name, const QStringList& labels, QWidget* parent) : QWidget(parent)
{
    setAccessibleName(name);
    auto* layout = new QHBoxLayout(this);
    layout->setContentsMargins(2, 2, 2, 2);
    layout->setSpacing(2);
    for (int i = 0; i < labels.size(); ++i) {
        auto* segment = new Segment(labels[i], this);
        m_segments.append(segment);
        layout->addWidget(segment);
        // Toggled, not clicked: assistive technology toggles a segment without clicking it.
        connect(segment, &QAbstractButton::toggled, this, [this, i](bool on) {
            if (!on) {
                setSelected(m_selected);  // the selection moves, it is never cleared by hand
                return;
            }
            setSelected(i);
            emit chosen(i);
        });
    }
    layout->addStretch();
    setSizePolicy(QSizePolicy::Preferred, QSizePolicy::Fixed);
}

void SegmentedPicker::setSelected(std::optional<int> index)
{
    m_selected = index && *index >= 0 && *index < m_segments.size() ? index : std::nullopt;
    for (int i = 0; i < m_segments.size(); ++i) {
        const QSignalBlocker quiet(m_segments[i]);
        m_segments[i]->setChecked(m_selected == i);
    }
    setAccessibleDescription(m_selected ? m_segments[*m_selected]->text() : QString());
}

} // namespace mallowby
