#include "Popover/Blockers/ConfirmationPanel.h"

#include "Popover/Controls/PopoverTheme.h"
#include "Popover/Controls/SmallButton.h"

#include <QEvent>
#include <QHBoxLayout>
#include <QLabel>
#include <QPainter>
#include <QPushButton>
#include <QVBoxLayout>

namespace mallowby {

ConfirmationPanel::ConfirmationPanel(QWidget* parent)
    : QWidget(parent), m_question(new QLabel(this)), m_cancel(new SmallButton(QString(), this)), m_confirm(new SmallButton(QString(), this))
{
    auto* column = new QVBoxLayout(this);
    column->setContentsMargins(8, 8, 8, 8);
    column->setSpacing(6);
    m_question->setWordWrap(true);
    m_question->setTextFormat(Qt::PlainText);
    m_question->setFont(PopoverTheme::font(PopoverTheme::Font::caption));
    column->addWidget(m_question);

    auto* buttons = new QHBoxLayout;
    buttons->addStretch(1);
    buttons->addWidget(m_cancel);
    buttons->addWidget(m_confirm);
    column->addLayout(buttons);
    m_cancel->setFont(PopoverTheme::font(PopoverTheme::Font::caption));
    m_confirm->setFont(PopoverTheme::font(PopoverTheme::Font::captionSemibold));
    tint();

    connect(m_cancel, &QPushButton::clicked, this, &ConfirmationPanel::cancelled);
    connect(m_confirm, &QPushButton::clicked, this, &ConfirmationPanel::confirmed);
}

void ConfirmationPanel::present(const QString& question, const QString& cancel, const QString& confirm)
{
    m_question->setText(question);
    m_cancel->setText(cancel);
    m_confirm->setText(confirm);
    setAccessibleName(question);
    m_cancel->setAccessibleDescription(tr("Escape"));
}

void ConfirmationPanel::setConfirmEnabled(bool enabled)
{
    m_confirm->setEnabled(enabled);
}

void ConfirmationPanel::paintEvent(QPaintEvent*)
{
    QPainter painter(this);
    painter.setRenderHint(QPainter::Antialiasing);
    QColor fill = QColor::fromRgba(PopoverTheme::red);
    fill.setAlphaF(0.08);
    painter.setPen(Qt::NoPen);
    painter.setBrush(fill);
    painter.drawRoundedRect(QRectF(rect()), 6, 6);
}

void ConfirmationPanel::changeEvent(QEvent* event)
{
    QWidget::changeEvent(event);
    if (event->type() == QEvent::PaletteChange)
        tint();
}

void ConfirmationPanel::tint()
{
    QPalette palette = m_confirm->palette();
    palette.setColor(QPalette::ButtonText, QColor::fromRgba(PopoverTheme::red));
    palette.setColor(QPalette::Disabled, QPalette::ButtonText, PopoverTheme::color(this->palette(), PopoverTheme::Tone::tertiary));
    m_confirm->setPalette(palette);
}

} // namespace mallowby
