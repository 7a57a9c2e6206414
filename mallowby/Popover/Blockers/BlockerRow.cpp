#include "Popover/Blockers/BlockerRow.h"

#include "Popover/Blockers/AppIcon.h"
#include "Popover/Controls/DisclosureButton.h"
#include "Popover/Blockers/BlockersView.h"
#include "Popover/Controls/ElidedLabel.h"
#include "Popover/Controls/PopoverAccessibility.h"
#include "Popover/Controls/PopoverTheme.h"
#include "Popover/Controls/SmallButton.h"
#include "Symbols/SymbolIcon.h"

#include <QEvent>
#include <QHBoxLayout>
#include <QLabel>
#include <QVBoxLayout>

namespace mallowby {

namespace {

constexpr int iconSize = 24;

} // namespace

BlockerRow::BlockerRow(const Blocker& blocker, Action quit, Action terminate, QWidget* parent)
    : QWidget(parent), m_blocker(blocker), m_quit(std::move(quit)), m_terminate(std::move(terminate)),
      m_icon(new QLabel(this)), m_title(new QLabel(this)), m_subtitle(new QLabel(this)), m_path(new ElidedLabel(QString(), this)),
      m_disclosure(new DisclosureButton(this)), m_otherUses(new QWidget(this)), m_button(new SmallButton(QString(), this))
{
    // Before anything asks about it: the disclosure says whether it is open.
    PopoverAccessibility::setValue(m_disclosure, QStringLiteral("collapsed"));
    auto* outer = new QVBoxLayout(this);
    outer->setContentsMargins(0, 0, 0, 0);
    outer->setSpacing(1);
    auto* row = new QHBoxLayout;
    row->setSpacing(8);
    outer->addLayout(row);

    m_icon->setFixedSize(iconSize, iconSize);
    PopoverAccessibility::hide(m_icon);
    row->addWidget(m_icon, 0, Qt::AlignTop);

    auto* column = new QVBoxLayout;
    column->setSpacing(1);
    column->addWidget(m_title);
    m_subtitle->setWordWrap(true);
    column->addWidget(m_subtitle);
    column->addWidget(m_path);
    column->addWidget(m_disclosure, 0, Qt::AlignLeft);
    row->addLayout(column, 1);
    row->addWidget(m_button, 0, Qt::AlignVCenter);
    // The further uses take the row's whole width below the button: their paths are long.
    outer->addWidget(m_otherUses);

    m_title->setFont(PopoverTheme::font(PopoverTheme::Font::caption));
    for (QWidget* secondary : {static_cast<QWidget*>(m_subtitle), static_cast<QWidget*>(m_path), static_cast<QWidget*>(m_disclosure)})
        PopoverTheme::setText(secondary, PopoverTheme::Font::caption2, PopoverTheme::Tone::secondary);
    m_button->setFont(PopoverTheme::font(PopoverTheme::Font::caption));
    m_path->setTextInteractionFlags(Qt::TextSelectableByMouse | Qt::TextSelectableByKeyboard);

    m_disclosure->setAccessibleDescription(tr("Shows the other files and folders it uses on the drive"));
    connect(m_disclosure, &DisclosureButton::toggled, this, &BlockerRow::setExpanded);

    auto* uses = new QVBoxLayout(m_otherUses);
    uses->setContentsMargins(iconSize + 8 + 12, 0, 0, 0);
    uses->setSpacing(1);
    m_otherUses->hide();

    connect(m_button, &QPushButton::clicked, this, [this] {
        const Blocker blocker = m_blocker;  // the action may replace this row's record
        if (blocker.isAppProcess)
            m_quit(blocker);
        else
            m_terminate(blocker);
    });
    present();
}

QString BlockerRow::title(const Blocker& blocker)
{
    return blocker.isAppProcess && blocker.app ? blocker.app->name : blocker.processName;
}

QString BlockerRow::subtitle(const Blocker& blocker)
{
    QStringList parts;
    if (blocker.app && blocker.app->pid != blocker.pid)
        parts << (blocker.isAppProcess ? blocker.processName : QStringLiteral("in ") + blocker.app->name);
    parts << QStringLiteral("pid %1").arg(blocker.pid);
    if (!blocker.uses.isEmpty())
        parts << Blocker::reasonText(blocker.uses.first().reason);
    return parts.join(QStringLiteral(" · "));
}

void BlockerRow::setBlocker(const Blocker& blocker)
{
    if (blocker == m_blocker)
        return;
    m_blocker = blocker;
    present();
}

void BlockerRow::setActionsEnabled(bool enabled)
{
    m_button->setEnabled(enabled);
}

void BlockerRow::setExpanded(bool expanded)
{
    if (expanded == m_expanded)
        return;
    m_expanded = expanded;
    m_disclosure->setChecked(expanded);
    presentOtherUses();
}

void BlockerRow::changeEvent(QEvent* event)
{
    QWidget::changeEvent(event);
    if (event->type() == QEvent::PaletteChange)
        updateIcon();
}

void BlockerRow::present()
{
    const QString title = BlockerRow::title(m_blocker);
    m_title->setText(title);
    m_subtitle->setText(subtitle(m_blocker));
    m_path->setFullText(m_blocker.uses.isEmpty() ? QString() : m_blocker.uses.first().path);
    setAccessibleName(title);
    setAccessibleDescription(subtitle(m_blocker));

    const QString name = BlockersView::displayName(m_blocker);
    if (m_blocker.isAppProcess) {
        m_button->setText(QStringLiteral("quit"));
        m_button->setAccessibleName(QStringLiteral("Quit %1").arg(name));
        m_button->setAccessibleDescription(tr("Asks the app to quit"));
    } else {
        m_button->setText(QStringLiteral("terminate…"));
        m_button->setAccessibleName(QStringLiteral("Terminate %1, pid %2…").arg(name).arg(m_blocker.pid));
        m_button->setAccessibleDescription(tr("Asks for confirmation, then asks the process to stop"));
    }
    presentOtherUses();
    updateIcon();
}

void BlockerRow::presentOtherUses()
{
    const qsizetype others = m_blocker.uses.size() - 1;
    m_disclosure->setVisible(others >= 1);
    m_disclosure->setText(QString::asprintf("%lld", static_cast<long long>(others)) + QStringLiteral(" more"));
    m_disclosure->setAccessibleName(m_disclosure->text());
    PopoverAccessibility::setValue(m_disclosure, m_expanded ? QStringLiteral("expanded") : QStringLiteral("collapsed"));

    auto* layout = m_otherUses->layout();
    while (QLayoutItem* item = layout->takeAt(0)) {
        delete item->widget();
        delete item;
    }
    m_otherUses->setVisible(others >= 1 && m_expanded);
    if (!m_otherUses->isVisibleTo(this))
        return;
    for (qsizetype i = 1; i < m_blocker.uses.size(); ++i) {
        const Blocker::Use& use = m_blocker.uses[i];
        auto* line = new ElidedLabel(Blocker::reasonText(use.reason) + QStringLiteral(": ") + use.path, m_otherUses);
        line->setToolTip(use.path);
        PopoverTheme::setText(line, PopoverTheme::Font::caption2, PopoverTheme::Tone::secondary);
        layout->addWidget(line);
    }
}

void BlockerRow::updateIcon()
{
    const qreal ratio = devicePixelRatioF();
    if (m_blocker.app) {
        if (const auto icon = AppIcon::of(m_blocker, this, [this] { updateIcon(); })) {
            m_icon->setPixmap(icon->pixmap(QSize(iconSize, iconSize), ratio));
            return;
        }
    }
    const QColor color = PopoverTheme::color(palette(), PopoverTheme::Tone::secondary);
    m_icon->setPixmap(SymbolIcon::icon(QStringLiteral("terminal"), color, iconSize * 13.0 / 20.0).pixmap(QSize(iconSize, iconSize), ratio));
}

} // namespace mallowby
