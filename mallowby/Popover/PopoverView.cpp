#include "Popover/PopoverView.h"

#include "Popover/List/EjectAllSummary.h"
#include "Popover/List/FooterView.h"
#include "Popover/List/HeaderView.h"
#include "Popover/List/PopoverList.h"
#include "Popover/PopoverState.h"
#include "Popover/Controls/PopoverTheme.h"
#include "Popover/SettingsPage/SettingsView.h"

#include "Drives/DriveMonitor.h"
#include "Eject/Ejector.h"
#include "Eject/FlushWatch.h"
#include "Settings/Preferences.h"
#include "Volumes/VolumeStore.h"

#include <QCoreApplication>
#include <QEvent>
#include <QScreen>
#include <QScrollArea>
#include <QScrollBar>
#include <QShortcut>
#include <QStackedWidget>
#include <QTimer>
#include <QVBoxLayout>

#include <algorithm>
#include <utility>

namespace mallowby {

namespace {

QScrollArea* makeScrollArea(QWidget* content, QObject* watcher)
{
    auto* area = new QScrollArea;
    area->setFrameShape(QFrame::NoFrame);
    area->setWidgetResizable(true);
    area->setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
    area->setWidget(content);
    // Over the window's translucent background (setWidget() turns the content's filling on).
    area->viewport()->setAutoFillBackground(false);
    content->setAutoFillBackground(false);
    content->installEventFilter(watcher);
    return area;
}

} // namespace

PopoverView::PopoverView(VolumeStore& volumes, DriveMonitor& drives, Ejector& ejector, Preferences& preferences,
                         Notifier& notifier, Updater& updater, PopoverState& state,
                         std::function<void()> copyDiagnostics, QWidget* parent)
    : QWidget(parent),
      m_volumes(volumes),
      m_drives(drives),
      m_ejector(ejector),
      m_preferences(preferences),
      m_notifier(notifier),
      m_updater(updater),
      m_state(state),
      m_copyDiagnostics(std::move(copyDiagnostics)),
      m_header(new HeaderView(ejector, state, this)),
      m_summary(new EjectAllSummary(ejector, [this] { m_state.setEjectAllResult(std::nullopt); }, this)),
      m_pages(new QStackedWidget(this)),
      m_list(new PopoverList(ejector, preferences, state)),
      m_footer(new FooterView(state, updater, this))
{
    setFont(PopoverTheme::font(PopoverTheme::Font::body));
    PopoverTheme::setAccent(this, preferences.accent());
    PopoverTheme::readIncreasedContrast(this);

    auto* content = new QWidget;
    auto* column = new QVBoxLayout(content);
    column->setContentsMargins(0, 0, 0, 0);
    column->addWidget(m_list);
    column->addStretch();
    m_listArea = makeScrollArea(content, this);
    m_pages->addWidget(m_listArea);

    auto* layout = new QVBoxLayout(this);
    layout->setContentsMargins(0, 0, 0, 0);
    layout->setSpacing(10);
    layout->addWidget(m_header);
    layout->addWidget(m_summary);
    layout->addWidget(m_pages);
    layout->addWidget(m_footer);
    m_summary->hide();

    auto* settings = new QShortcut(QKeySequence(Qt::CTRL | Qt::Key_Comma), this);
    connect(settings, &QShortcut::activated, this, [this] { m_state.setShowingSettings(!m_state.showingSettings()); });
    auto* quit = new QShortcut(QKeySequence(Qt::CTRL | Qt::Key_Q), this);
    connect(quit, &QShortcut::activated, qApp, &QCoreApplication::quit, Qt::QueuedConnection);

    connect(&volumes, &VolumeStore::volumesChanged, this, &PopoverView::scheduleRefresh);
    connect(&drives, &DriveMonitor::drivesChanged, this, &PopoverView::scheduleRefresh);
    connect(&ejector, &Ejector::statusesChanged, this, &PopoverView::scheduleRefresh);
    if (const FlushWatch* flushes = FlushWatch::of(ejector))
        connect(flushes, &FlushWatch::flushesChanged, this, &PopoverView::scheduleRefresh);
    for (auto signal : {&Preferences::unitsChanged, &Preferences::lowSpaceThresholdChanged, &Preferences::volumesShownChanged})
        connect(&preferences, signal, this, &PopoverView::scheduleRefresh);
    connect(&preferences, &Preferences::accentChanged, this,
            [this] { PopoverTheme::setAccent(this, m_preferences.accent()); });
    connect(&state, &PopoverState::ejectAllResultChanged, this, &PopoverView::scheduleRefresh);
    connect(&state, &PopoverState::internalExpandedChanged, this, &PopoverView::scheduleRefresh);
    connect(&state, &PopoverState::showingSettingsChanged, this, &PopoverView::showPage);
    connect(&state, &PopoverState::focusChanged, this, &PopoverView::schedule);

    refresh();
    showPage();
}

PopoverModel PopoverView::model()
{
    PopoverModel model{m_volumes.volumes(), m_drives.drives(), m_preferences.volumesShown()};
    QHash<QString, std::pair<Drive, QList<Volume>>> ejecting;
    for (const Ejector::Status& status : m_ejector.statuses()) {
        const QString& id = status.target.id;
        if (status.phase != Ejector::Phase::ejecting && !m_ejector.isEjecting(id))
            continue;
        const auto drive = std::find_if(model.drives.cbegin(), model.drives.cend(), [&](const Drive& d) { return d.id == id; });
        if (drive != model.drives.cend()) {
            ejecting.insert(id, {*drive, model.volumesOf(*drive)});
        } else if (const auto seen = m_ejectingDrives.constFind(id); seen != m_ejectingDrives.cend()) {
            ejecting.insert(id, *seen);
            model.drives.append(seen->first);
            for (const Volume& volume : seen->second)
                if (std::none_of(model.volumes.cbegin(), model.volumes.cend(), [&](const Volume& v) { return v.id == volume.id; }))
                    model.volumes.append(volume);
        }
    }
    m_ejectingDrives = std::move(ejecting);
    return model;
}

void PopoverView::refresh()
{
    const PopoverModel model = this->model();
    m_header->present(model.externalDrives());
    const std::optional<Ejector::EjectAllResult>& result = m_state.ejectAllResult();
    if (result)
        m_summary->present(*result);
    m_summary->setVisible(result.has_value());
    m_list->present(model.entries(), model);
}

void PopoverView::reopen()
{
    if (std::exchange(m_stale, false))
        refresh();
    for (QScrollArea* area : {m_listArea, m_settingsArea})
        if (area)
            area->verticalScrollBar()->setValue(0);
}

void PopoverView::scheduleRefresh()
{
    if (!isVisible()) {
        m_stale = true;  // a closed popover costs nothing a sample
        return;
    }
    // A sample is followed by capacity readings of the drives being written, one change each, and
    // a view may change the ejector's state while it is presented: one refresh a turn takes all.
    if (m_refreshScheduled)
        return;
    m_refreshScheduled = true;
    QMetaObject::invokeMethod(
        this,
        [this] {
            if (!m_refreshScheduled)
                return;  // done already, before a height fit
            m_refreshScheduled = false;
            refresh();
        },
        Qt::QueuedConnection);
}

QWidget* PopoverView::makeSettingsPage()
{
    return new SettingsView(m_preferences, m_volumes, m_notifier, m_updater, LoginItem(), m_copyDiagnostics);
}

void PopoverView::showPage()
{
    if (m_state.showingSettings() && !m_settingsArea) {
        m_settingsArea = makeScrollArea(makeSettingsPage(), this);
        m_pages->addWidget(m_settingsArea);
    }
    // Each page scrolls on its own, so the list keeps its place while the settings show.
    m_pages->setCurrentWidget(m_state.showingSettings() ? m_settingsArea : m_listArea);
    schedule();
}

int PopoverView::maxListHeight(std::optional<int> availableHeight)
{
    return availableHeight ? std::max(0, *availableHeight - screenMargin) : heightWithoutScreen;
}

QWidget* PopoverView::viewForTarget(const QString& id) const
{
    const QList<QWidget*> views = m_list->findChildren<QWidget*>();
    const auto it = std::find_if(views.cbegin(), views.cend(), [&](const QWidget* view) {
        return view->property("mallowby.target").toString() == id && !view->isHidden();
    });
    return it == views.cend() ? nullptr : *it;
}

bool PopoverView::eventFilter(QObject* watched, QEvent* event)
{
    if (event->type() == QEvent::LayoutRequest || event->type() == QEvent::Resize)
        schedule();
    return QWidget::eventFilter(watched, event);
}

void PopoverView::showEvent(QShowEvent* event)
{
    QWidget::showEvent(event);
    schedule();
}

void PopoverView::schedule()
{
    if (m_scheduled)
        return;
    m_scheduled = true;
    QTimer::singleShot(0, this, [this] {
        m_scheduled = false;
        // Measure and scroll what the list will show: pending changes presented and laid out.
        if (m_refreshScheduled) {
            m_refreshScheduled = false;
            refresh();
        }
        for (int level = 0; level < 8; ++level)
            QCoreApplication::sendPostedEvents(nullptr, QEvent::LayoutRequest);
        fitHeight();
        applyFocus();
    });
}

void PopoverView::fitHeight()
{
    const auto* area = static_cast<QScrollArea*>(m_pages->currentWidget());
    const QScreen* screen = this->screen();
    const int limit = maxListHeight(screen ? std::optional(screen->availableGeometry().height()) : std::nullopt);
    const int height = std::min(area->widget()->sizeHint().height(), limit);
    if (m_pages->minimumHeight() == height && m_pages->maximumHeight() == height)
        return;  // the common case: a sample changed figures, not heights
    m_pages->setFixedHeight(height);
    // The window takes the height its content asks for (adjustSize() would cap it at two thirds
    // of the screen).
    if (QWidget* window = this->window(); window != this && window->layout()) {
        // The window's layout learns of the new height now rather than on a later turn.
        layout()->invalidate();
        updateGeometry();
        window->layout()->invalidate();
        window->resize(window->width(), std::max(window->minimumHeight(), window->sizeHint().height()));
    }
}

void PopoverView::applyFocus()
{
    const std::optional<QString> focus = m_state.focus();
    QWidget* content = m_listArea->widget();
    if (!focus || !isVisible() || content->height() <= 0)
        return;  // honoured once the list is laid out
    if (QWidget* view = viewForTarget(*focus)) {
        content->layout()->activate();
        m_listArea->verticalScrollBar()->setValue(view->mapTo(content, QPoint(0, 0)).y());
    }
    m_state.setFocus(std::nullopt);
}

} // namespace mallowby
