#pragma once

#include "Popover/PopoverModel.h"

#include <QHash>
#include <QWidget>

#include <functional>
#include <optional>

class QScrollArea;
class QStackedWidget;

namespace mallowby {

class DriveMonitor;
class EjectAllSummary;
class Ejector;
class FooterView;
class HeaderView;
class Notifier;
class PopoverList;
class PopoverState;
class Preferences;
class Updater;
class VolumeStore;

// The popover's content: the header, the eject-all summary, the scrolling list of sections (or
// the settings page) and the footer. It follows the live objects: a sample or a space reading
// updates the views in place, the list's views are rebuilt only when its structure changes, and
// the list's height follows its content up to the screen's height less 140 points.
class PopoverView : public QWidget {
    Q_OBJECT
public:
    PopoverView(VolumeStore& volumes, DriveMonitor& drives, Ejector& ejector, Preferences& preferences,
                Notifier& notifier, Updater& updater, PopoverState& state, std::function<void()> copyDiagnostics,
                QWidget* parent = nullptr);

    // What is shown; a drive whose eject runs stays though its mounts have left the table (the
    // write-out comes after that).
    PopoverModel model();
    // Brings every view in step with the live objects, now.
    void refresh();
    // For a view kept while its window was closed (changes are not presented then): brings it up
    // to date, scrolled to the top.
    void reopen();
    // The same on the next turn; changes until then are taken in one go.
    void scheduleRefresh();

    // The list's height limit on a screen whose available area is `availableHeight` high.
    static int maxListHeight(std::optional<int> availableHeight);
    static constexpr int screenMargin = 140;
    static constexpr int heightWithoutScreen = 660;

    QScrollArea* listArea() const { return m_listArea; }
    // The card or row standing for a drive or eject target; none when the list has none.
    QWidget* viewForTarget(const QString& id) const;

protected:
    bool eventFilter(QObject* watched, QEvent* event) override;
    void showEvent(QShowEvent* event) override;

private:
    // The settings page that replaces the list.
    QWidget* makeSettingsPage();
    void showPage();
    void schedule();
    void fitHeight();
    void applyFocus();

    VolumeStore& m_volumes;
    DriveMonitor& m_drives;
    Ejector& m_ejector;
    QHash<QString, std::pair<Drive, QList<Volume>>> m_ejectingDrives;  // as last seen, by drive id
    Preferences& m_preferences;
    Notifier& m_notifier;
    Updater& m_updater;
    PopoverState& m_state;
    std::function<void()> m_copyDiagnostics;

    HeaderView* m_header;
    EjectAllSummary* m_summary;
    QStackedWidget* m_pages;
    QScrollArea* m_listArea;
    PopoverList* m_list;
    QScrollArea* m_settingsArea = nullptr;
    FooterView* m_footer;

    bool m_refreshScheduled = false;
    bool m_stale = false;  // changed while hidden
    bool m_scheduled = false;  // a height fit and focus scroll
};

} // namespace mallowby
