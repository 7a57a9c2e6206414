#include "Popover/Cards/EjectStatusView.h"

#include "Popover/Blockers/BlockersView.h"
#include "Popover/Cards/StatusLine.h"

#include "Eject/Ejector.h"
#include "Eject/FlushWatch.h"

#include <QVBoxLayout>

namespace mallowby {

EjectStatusView::EjectStatusView(Ejector& ejector, const QString& targetID, const QString& busyText, QWidget* parent)
    : QWidget(parent),
      m_ejector(ejector),
      m_targetID(targetID),
      m_busyText(busyText),
      m_busy(new StatusLine(busyText, this))
{
    auto* column = new QVBoxLayout(this);
    column->setContentsMargins(0, 0, 0, 0);
    column->setSpacing(8);
    column->addWidget(m_busy);
    m_busy->hide();
    hide();
    refresh();
}

void EjectStatusView::presentFlush(ByteUnits units)
{
    const FlushWatch* flushes = FlushWatch::of(m_ejector);
    const FlushEstimate* estimate = flushes ? flushes->estimate(m_targetID) : nullptr;
    const Ejector::Status* status = m_ejector.status(m_targetID);
    if (status && status->awaitedHolders) {
        const qsizetype holders = *status->awaitedHolders;
        m_busy->setText(m_busyText + QLatin1Char(' ')
                        + (holders == 0 ? QStringLiteral("waiting for the drive to be let go")
                           : holders == 1 ? QStringLiteral("waiting for 1 process to close its files there")
                                          : QStringLiteral("waiting for %1 processes to close their files there").arg(holders)));
        m_busy->setProgress(std::nullopt);
    } else if (estimate && estimate->showsProgress()) {
        m_busy->setText(m_busyText + QLatin1Char(' ') + estimate->progressText(units));
        m_busy->setProgress(estimate->fractionDone());
    } else {
        m_busy->setText(m_busyText);
        m_busy->setProgress(std::nullopt);
    }
}

bool EjectStatusView::hasFailure() const
{
    const Ejector::Status* status = m_ejector.status(m_targetID);
    return status && status->failure.has_value();
}

void EjectStatusView::refresh()
{
    const Ejector::Status* status = m_ejector.status(m_targetID);
    m_busy->setVisible(status && status->phase == Ejector::Phase::ejecting);
    if (status && !m_blockers) {
        m_blockers = new BlockersView(m_ejector, m_targetID, this);
        layout()->addWidget(m_blockers);
        m_blockers->show();
    } else if (!status && m_blockers) {
        // Its own close button may be what dismissed the status: deleted once that is over.
        m_blockers->hide();
        m_blockers->deleteLater();
        m_blockers = nullptr;
    }
    setVisible(status != nullptr);
}

} // namespace mallowby
