#include "Popover/Blockers/BlockersView.h"

#include "Popover/Blockers/BlockerRow.h"
#include "Popover/Blockers/BlockersActionRow.h"
#include "Popover/Blockers/ConfirmationPanel.h"
#include "Popover/Blockers/HolderRow.h"
#include "Popover/Blockers/ImageRow.h"
#include "Popover/Controls/PopoverTheme.h"
#include "Popover/Controls/ProgressIndicator.h"

#include <QAbstractButton>
#include <QApplication>
#include <QEvent>
#include <QHBoxLayout>
#include <QKeyEvent>
#include <QLabel>
#include <QLocale>
#include <QPainter>
#include <QPushButton>
#include <QVBoxLayout>

#include <algorithm>

namespace mallowby {

namespace {

QLabel* wrappingLabel(QWidget* parent, PopoverTheme::Font font, PopoverTheme::Tone tone)
{
    QLabel* label = PopoverTheme::label(QString(), font, tone, parent);
    label->setWordWrap(true);
    label->setTextFormat(Qt::PlainText);
    return label;
}

bool reportHolds(const Ejector::Status& status, qint32 pid)
{
    return status.report && std::any_of(status.report->blockers.cbegin(), status.report->blockers.cend(),
                                         [pid](const Blocker& b) { return b.pid == pid; });
}

// Hides a row that leaves the panel (moving keyboard focus on) and deletes it later.
template<typename Row>
void discard(Row* row)
{
    row->hide();
    row->deleteLater();
}

// The focusable widgets under a layout, in the order they are laid out.
void collectFocusable(QLayout* layout, QList<QWidget*>& out)
{
    for (int i = 0; i < layout->count(); ++i) {
        QLayoutItem* item = layout->itemAt(i);
        if (QWidget* widget = item->widget()) {
            if (widget->focusPolicy() & Qt::TabFocus)
                out << widget;
            if (widget->layout())
                collectFocusable(widget->layout(), out);
        } else if (QLayout* inner = item->layout()) {
            collectFocusable(inner, out);
        }
    }
}

} // namespace

QString BlockersView::Confirmation::question() const
{
    const QString name = blocker ? displayName(*blocker) : QString();
    switch (kind) {
    case Kind::force:
        return QStringLiteral("Force eject? Apps with files open on the drive may lose or damage them. "
                              "It is switched off, and can be unplugged, only once they have closed those files.");
    case Kind::terminate:
        return QStringLiteral("Terminate %1? It's asked to stop (SIGTERM); unsaved work in it may be lost.").arg(name);
    case Kind::kill:
        return QStringLiteral("Waiting for %1 to exit. It can be stopped at once (SIGKILL), with no chance to save.").arg(name);
    }
    return {};
}

QString BlockersView::Confirmation::cancelTitle() const
{
    return kind == Kind::kill ? QStringLiteral("wait") : QStringLiteral("cancel");
}

QString BlockersView::Confirmation::confirmTitle() const
{
    switch (kind) {
    case Kind::force: return QStringLiteral("force eject");
    case Kind::terminate: return QStringLiteral("terminate");
    case Kind::kill: return QStringLiteral("kill");
    }
    return {};
}

QString BlockersView::displayName(const Blocker& blocker)
{
    return blocker.app ? blocker.app->name : blocker.processName;
}

BlockersView::BlockersView(Ejector& ejector, const QString& targetID, QWidget* parent)
    : QWidget(parent), m_ejector(ejector), m_targetID(targetID), m_title(wrappingLabel(this, PopoverTheme::Font::captionSemibold, PopoverTheme::Tone::primary)),
      m_explanation(wrappingLabel(this, PopoverTheme::Font::caption, PopoverTheme::Tone::secondary)),
      m_stillMounted(wrappingLabel(this, PopoverTheme::Font::caption, PopoverTheme::Tone::secondary)), m_looking(new QWidget(this)),
      m_none(wrappingLabel(this, PopoverTheme::Font::caption, PopoverTheme::Tone::secondary)), m_rows(new QWidget(this)),
      m_rowsLayout(new QVBoxLayout(m_rows)), m_actions(new BlockersActionRow(this)), m_confirmationPanel(new ConfirmationPanel(this))
{
    auto* column = new QVBoxLayout(this);
    column->setContentsMargins(8, 8, 8, 8);
    column->setSpacing(8);

    auto* header = new QVBoxLayout;
    header->setSpacing(2);
    header->addWidget(m_title);
    header->addWidget(m_explanation);
    header->addWidget(m_stillMounted);
    column->addLayout(header);

    auto* looking = new QHBoxLayout(m_looking);
    looking->setContentsMargins(0, 0, 0, 0);
    looking->setSpacing(6);
    auto* spinner = new ProgressIndicator(12, m_looking);
    auto* lookingText = PopoverTheme::label(QStringLiteral("Looking for what's using it…"), PopoverTheme::Font::caption,
                                            PopoverTheme::Tone::secondary, m_looking);
    looking->addStretch(1);
    looking->addWidget(spinner);
    looking->addWidget(lookingText);
    looking->addStretch(1);
    column->addWidget(m_looking);
    column->addWidget(m_none);

    m_rowsLayout->setContentsMargins(0, 0, 0, 0);
    m_rowsLayout->setSpacing(8);
    column->addWidget(m_rows);
    column->addWidget(m_actions);
    column->addWidget(m_confirmationPanel);

    connect(m_actions, &BlockersActionRow::closeRequested, this, [this] { m_ejector.dismiss(m_targetID); });
    connect(m_actions, &BlockersActionRow::forceRequested, this, [this] { setConfirmation(Confirmation::force()); });
    connect(m_actions, &BlockersActionRow::primaryRequested, this, [this] { m_ejector.retry(m_targetID, false); });
    connect(m_confirmationPanel, &ConfirmationPanel::cancelled, this, [this] { setConfirmation(std::nullopt); });
    connect(m_confirmationPanel, &ConfirmationPanel::confirmed, this, &BlockersView::confirm);
    connect(&m_ejector, &Ejector::statusesChanged, this, &BlockersView::refresh);

    setFocusPolicy(Qt::ClickFocus);
    refresh();
}

BlockersView::~BlockersView()
{
    if (m_appeared)
        m_ejector.setLiveRescan(m_targetID, false);
}

void BlockersView::refresh()
{
    const Ejector::Status* status = m_ejector.status(m_targetID);
    if (!status) {
        // Nothing to show (the card removes the panel); no question outlives the status.
        m_confirmation.reset();
        hide();
        return;
    }
    // A question about a process that has left the report no longer applies: its pid may soon
    // belong to another process.
    if (m_confirmation && m_confirmation->blocker && !reportHolds(*status, m_confirmation->blocker->pid))
        m_confirmation.reset();
    presentHeader(*status);
    presentBody(*status);
    presentFooter(*status);
    orderTabs();
}

void BlockersView::presentHeader(const Ejector::Status& status)
{
    m_title->setText(status.failure ? QStringLiteral("Couldn't eject") : QStringLiteral("Who's using it"));
    m_explanation->setVisible(status.failure.has_value());
    m_stillMounted->setVisible(status.failure && !status.stillMounted.isEmpty());
    if (status.failure) {
        m_explanation->setText(status.failure->explanation());
        m_stillMounted->setText(QStringLiteral("Still mounted: ") + QLocale().createSeparatedList(status.stillMounted));
    }
}

void BlockersView::presentBody(const Ejector::Status& status)
{
    const bool idle = status.phase == Ejector::Phase::idle;
    m_looking->setVisible(!status.report);
    m_none->setVisible(status.report && (status.report->isEmpty() || status.report->incomplete));
    m_rows->setVisible(status.report && !status.report->isEmpty());
    if (!status.report)
        return;
    if (status.report->incomplete) {
        m_none->setText(QStringLiteral("The search stopped before it had looked at every process: some apps using "
                                       "the drive may be missing."));
    } else if (status.report->isEmpty()) {
        m_none->setText(status.failure ? QStringLiteral("None of your apps is using the drive. A system process may be holding it, such as "
                                                        "a file indexer (tracker-miner-fs, baloo_file) or a backup job.")
                                       : QStringLiteral("None of your apps is using the drive."));
    }
    syncRows(*status.report);
    for (ImageRow* row : m_imageRows)
        row->setActionsEnabled(idle);
    for (BlockerRow* row : m_blockerRows)
        row->setActionsEnabled(idle);
}

void BlockersView::syncRows(const BlockerReport& report)
{
    // Rows are kept for the images and processes still reported, so a rescan leaves keyboard
    // focus and the disclosures as they were.
    QList<ImageRow*> images;
    for (const ImageBlocker& image : report.images) {
        auto it = std::find_if(m_imageRows.begin(), m_imageRows.end(), [&](ImageRow* row) { return row->image() == image; });
        if (it != m_imageRows.end()) {
            images << *it;
            m_imageRows.erase(it);
        } else {
            images << new ImageRow(image, [this](const ImageBlocker& i) { m_ejector.ejectImage(i, m_targetID); }, m_rows);
        }
    }
    QList<BlockerRow*> blockers;
    for (const Blocker& blocker : report.blockers) {
        auto it = std::find_if(m_blockerRows.begin(), m_blockerRows.end(), [&](BlockerRow* row) { return row->blocker().pid == blocker.pid; });
        if (it != m_blockerRows.end()) {
            (*it)->setBlocker(blocker);
            blockers << *it;
            m_blockerRows.erase(it);
        } else {
            blockers << new BlockerRow(
                blocker, [this](const Blocker& b) { m_ejector.quit(b); },
                [this](const Blocker& b) { setConfirmation(Confirmation::terminate(b)); }, m_rows);
        }
    }
    QList<HolderRow*> holders;
    for (const SystemHolder& holder : report.holders) {
        auto it = std::find_if(m_holderRows.begin(), m_holderRows.end(), [&](HolderRow* row) { return row->holder() == holder; });
        if (it != m_holderRows.end()) {
            holders << *it;
            m_holderRows.erase(it);
        } else {
            holders << new HolderRow(holder, m_rows);
        }
    }
    std::for_each(m_imageRows.begin(), m_imageRows.end(), discard<ImageRow>);
    std::for_each(m_blockerRows.begin(), m_blockerRows.end(), discard<BlockerRow>);
    std::for_each(m_holderRows.begin(), m_holderRows.end(), discard<HolderRow>);
    m_imageRows = images;
    m_blockerRows = blockers;
    m_holderRows = holders;

    int index = 0;
    const auto place = [&](QWidget* row) {
        if (m_rowsLayout->indexOf(row) != index) {
            m_rowsLayout->removeWidget(row);
            m_rowsLayout->insertWidget(index, row);
        }
        ++index;
    };
    std::for_each(images.begin(), images.end(), place);
    std::for_each(blockers.begin(), blockers.end(), place);
    std::for_each(holders.begin(), holders.end(), place);
}

void BlockersView::presentFooter(const Ejector::Status& status)
{
    const bool idle = status.phase == Ejector::Phase::idle;
    if (m_confirmation) {
        m_confirmationPanel->present(m_confirmation->question(), m_confirmation->cancelTitle(), m_confirmation->confirmTitle());
        // A forced eject need not wait for a scan.
        const bool forceDuringScan = m_confirmation->kind == Confirmation::Kind::force
                                     && status.phase == Ejector::Phase::scanning;
        m_confirmationPanel->setConfirmEnabled(idle || forceDuringScan);
    } else {
        m_actions->present(status.failure.has_value(), status.phase);
    }
    m_confirmationPanel->setVisible(m_confirmation.has_value());
    m_actions->setVisible(!m_confirmation);
}

void BlockersView::setConfirmation(std::optional<Confirmation> confirmation)
{
    const Ejector::Status* status = m_ejector.status(m_targetID);
    if (!status || confirmation == m_confirmation)
        return;
    const QWidget* focus = QApplication::focusWidget();
    const bool hadFocus = focus && isAncestorOf(focus);
    m_confirmation = std::move(confirmation);
    presentFooter(*status);
    orderTabs();
    if (hadFocus) {
        QWidget* next = m_confirmation ? m_confirmationPanel->cancelButton()
                                       : (m_actions->primaryButton()->isEnabled() ? m_actions->primaryButton() : m_actions->closeButton());
        next->setFocus(Qt::OtherFocusReason);
    }
}

void BlockersView::confirm()
{
    if (!m_confirmation)
        return;
    const Confirmation confirmation = *m_confirmation;
    switch (confirmation.kind) {
    case Confirmation::Kind::force:
        setConfirmation(std::nullopt);
        m_ejector.retry(m_targetID, true);
        break;
    case Confirmation::Kind::terminate:
        m_ejector.signal(*confirmation.blocker, false);
        setConfirmation(Confirmation::kill(*confirmation.blocker));
        break;
    case Confirmation::Kind::kill:
        m_ejector.signal(*confirmation.blocker, true);
        setConfirmation(std::nullopt);
        break;
    }
}

void BlockersView::orderTabs()
{
    QList<QWidget*> chain;
    collectFocusable(layout(), chain);
    for (qsizetype i = 1; i < chain.size(); ++i)
        setTabOrder(chain[i - 1], chain[i]);
}

void BlockersView::showEvent(QShowEvent* event)
{
    QWidget::showEvent(event);
    if (m_appeared)
        return;
    m_appeared = true;
    m_ejector.setLiveRescan(m_targetID, true);
    m_ejector.rescan(m_targetID);
}

void BlockersView::hideEvent(QHideEvent* event)
{
    QWidget::hideEvent(event);
    if (!m_appeared)
        return;
    m_appeared = false;
    m_ejector.setLiveRescan(m_targetID, false);
}

void BlockersView::paintEvent(QPaintEvent*)
{
    QPainter painter(this);
    painter.setRenderHint(QPainter::Antialiasing);
    painter.setPen(Qt::NoPen);
    painter.setBrush(PopoverTheme::fill(palette(), 0.08));
    painter.drawRoundedRect(QRectF(rect()), 8, 8);
}

void BlockersView::keyPressEvent(QKeyEvent* event)
{
    switch (event->key()) {
    case Qt::Key_Escape:
        if (m_confirmation) {
            setConfirmation(std::nullopt);
            return;
        }
        break;
    case Qt::Key_Return:
    case Qt::Key_Enter: {
        // Return presses the focused button, elsewhere the panel's default button.
        auto* focused = qobject_cast<QAbstractButton*>(QApplication::focusWidget());
        QAbstractButton* target = focused && isAncestorOf(focused) ? focused : nullptr;
        if (!target && !m_confirmation)
            target = m_actions->primaryButton();
        if (target && target->isEnabled() && target->isVisible()) {
            target->click();
            return;
        }
        break;
    }
    default:
        break;
    }
    QWidget::keyPressEvent(event);
}

} // namespace mallowby
