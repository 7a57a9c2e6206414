#include "Popover/List/EjectAllSummary.h"

#include "Popover/Controls/PopoverButton.h"
#include "Popover/Controls/PopoverTheme.h"

#include <QHBoxLayout>
#include <QLabel>
#include <QLocale>
#include <QPainter>

namespace mallowby {

EjectAllSummary::EjectAllSummary(const Ejector& ejector, std::function<void()> close, QWidget* parent)
    : QWidget(parent),
      m_ejector(ejector),
      m_message(PopoverTheme::label({}, PopoverTheme::Font::caption, PopoverTheme::Tone::primary, this))
{
    m_message->setWordWrap(true);
    m_message->setTextFormat(Qt::PlainText);
    auto* dismiss = new PopoverButton({}, QStringLiteral("xmark"), PopoverTheme::Tone::secondary, this);
    dismiss->setAccessibleName(QStringLiteral("Dismiss"));
    dismiss->setToolTip(QStringLiteral("Dismiss"));
    connect(dismiss, &QToolButton::clicked, this, std::move(close));
    auto* row = new QHBoxLayout(this);
    row->setContentsMargins(8, 8, 8, 8);
    row->setSpacing(6);
    row->addWidget(m_message, 1, Qt::AlignTop);
    row->addWidget(dismiss, 0, Qt::AlignTop);
}

QString EjectAllSummary::message(const Ejector::EjectAllResult& result, const QMap<QString, Ejector::Status>& statuses)
{
    const QLocale locale;
    QStringList sentences;
    if (!result.ejected.isEmpty())
        sentences << QStringLiteral("Ejected ") + locale.createSeparatedList(result.ejected) + QLatin1Char('.');
    if (!result.failed.isEmpty()) {
        QStringList names;
        for (const QString& id : result.failed)
            if (const auto it = statuses.constFind(id); it != statuses.constEnd())
                names << it->target.name;
        sentences << (names.isEmpty() ? QString::number(result.failed.size()) : locale.createSeparatedList(names))
                         + QStringLiteral(" couldn't be ejected.");
    }
    return sentences.join(QLatin1Char(' '));
}

void EjectAllSummary::present(const Ejector::EjectAllResult& result)
{
    m_message->setText(message(result, m_ejector.statuses()));
}

void EjectAllSummary::paintEvent(QPaintEvent*)
{
    QPainter painter(this);
    painter.setRenderHint(QPainter::Antialiasing);
    painter.setPen(Qt::NoPen);
    painter.setBrush(PopoverTheme::fill(palette(), 0.08));
    painter.drawRoundedRect(QRectF(rect()), 8, 8);
}

} // namespace mallowby
