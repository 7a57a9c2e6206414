#include "Popover/Cards/StatusLine.h"

#include "Popover/Controls/PopoverTheme.h"
#include "Popover/Controls/ProgressIndicator.h"
#include "Popover/Cards/UsageBar.h"

#include <QHBoxLayout>
#include <QLabel>
#include <QVBoxLayout>

namespace mallowby {

StatusLine::StatusLine(const QString& text, QWidget* parent)
    : QWidget(parent),
      m_indicator(new ProgressIndicator(12, this)),
      m_text(PopoverTheme::label(text, PopoverTheme::Font::caption, PopoverTheme::Tone::secondary, this)),
      m_bar(new UsageBar(this))
{
    auto* column = new QVBoxLayout(this);
    column->setContentsMargins(0, 0, 0, 0);
    column->setSpacing(4);
    auto* row = new QHBoxLayout;
    row->setSpacing(6);
    row->addWidget(m_indicator);
    row->addWidget(m_text);
    row->addStretch();
    column->addLayout(row);
    column->addWidget(m_bar);
    // Thinner than a volume's usage bar, which may stand right above it.
    m_bar->setFixedHeight(3);
    m_bar->hide();
}

QString StatusLine::text() const
{
    return m_text->text();
}

void StatusLine::setText(const QString& text)
{
    if (text != m_text->text())
        m_text->setText(text);
}

void StatusLine::setProgress(std::optional<double> fraction)
{
    if (fraction)
        m_bar->set(*fraction, PopoverTheme::Tone::accent);
    m_bar->setVisible(fraction.has_value());
    m_indicator->setVisible(!fraction);
}

std::optional<double> StatusLine::progress() const
{
    return m_bar->isVisibleTo(this) ? std::optional(m_bar->fraction()) : std::nullopt;
}

} // namespace mallowby
