#include "Popover/Blockers/BlockersActionRow.h"

#include "Popover/Controls/PopoverTheme.h"
#include "Popover/Controls/ProgressIndicator.h"
#include "Popover/Controls/SmallButton.h"

#include <QHBoxLayout>
#include <QPushButton>

namespace mallowby {

BlockersActionRow::BlockersActionRow(QWidget* parent)
    : QWidget(parent), m_progress(new ProgressIndicator(12, this)), m_close(new SmallButton(QStringLiteral("close"), this)),
      m_force(new SmallButton(QStringLiteral("force eject…"), this)), m_primary(new SmallButton(QString(), this))
{
    auto* row = new QHBoxLayout(this);
    row->setContentsMargins(0, 0, 0, 0);
    row->setSpacing(6);
    row->addWidget(m_progress);
    row->addWidget(m_close);
    row->addStretch(1);
    row->addWidget(m_force);
    row->addWidget(m_primary);
    for (QPushButton* button : {m_close, m_force, m_primary})
        button->setFont(PopoverTheme::font(PopoverTheme::Font::caption));
    m_primary->setFont(PopoverTheme::font(PopoverTheme::Font::captionSemibold));
    m_close->setAccessibleDescription(tr("Closes this panel"));
    m_force->setAccessibleDescription(tr("Asks for confirmation, then ejects even though files are open"));

    connect(m_close, &QPushButton::clicked, this, &BlockersActionRow::closeRequested);
    connect(m_force, &QPushButton::clicked, this, &BlockersActionRow::forceRequested);
    connect(m_primary, &QPushButton::clicked, this, &BlockersActionRow::primaryRequested);
    present(false, Ejector::Phase::idle);
}

void BlockersActionRow::present(bool failed, Ejector::Phase phase)
{
    const bool idle = phase == Ejector::Phase::idle;
    m_progress->setVisible(!idle);
    m_force->setVisible(failed);
    m_force->setEnabled(phase != Ejector::Phase::ejecting);
    m_primary->setText(failed ? QStringLiteral("retry") : QStringLiteral("eject"));
    m_primary->setAccessibleDescription(failed ? tr("Tries the eject again (Return)") : tr("Ejects the drive (Return)"));
    m_primary->setEnabled(idle);
}

} // namespace mallowby
