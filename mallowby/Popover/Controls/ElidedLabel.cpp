#include "Popover/Controls/ElidedLabel.h"

#include <QEvent>
#include <QFontMetrics>

namespace mallowby {

ElidedLabel::ElidedLabel(const QString& text, QWidget* parent) : QLabel(parent)
{
    setSizePolicy(QSizePolicy::Ignored, QSizePolicy::Preferred);
    setTextFormat(Qt::PlainText);
    setFullText(text);
}

void ElidedLabel::setFullText(const QString& text)
{
    if (text == m_fullText && !QLabel::text().isEmpty())
        return;
    m_fullText = text;
    setAccessibleName(text);
    elide();
    updateGeometry();
}

QSize ElidedLabel::minimumSizeHint() const
{
    return {0, QLabel::minimumSizeHint().height()};
}

QSize ElidedLabel::sizeHint() const
{
    const QFontMetrics metrics(font());
    return {metrics.horizontalAdvance(m_fullText), QLabel::sizeHint().height()};
}

void ElidedLabel::resizeEvent(QResizeEvent* event)
{
    QLabel::resizeEvent(event);
    elide();
}

void ElidedLabel::changeEvent(QEvent* event)
{
    QLabel::changeEvent(event);
    if (event->type() == QEvent::FontChange)
        elide();
}

void ElidedLabel::elide()
{
    const int width = contentsRect().width();
    // Before the first layout the label has no width of its own yet: show everything.
    const QString shown = width > 0 ? QFontMetrics(font()).elidedText(m_fullText, Qt::ElideMiddle, width) : m_fullText;
    if (shown != QLabel::text())
        setText(shown);
}

} // namespace mallowby
