#pragma once

#include "Popover/Blockers/BlockersView.h"

#include "Settings/ByteUnits.h"

#include <QPointer>
#include <QWidget>

namespace mallowby {

class Ejector;
class StatusLine;

// What a card shows of the ejector's state for one target: the busy line ("Ejecting…",
// "Unmounting…") while it ejects, and the blockers panel while the ejector holds a status for it.
// Hidden when there is nothing to show.
class EjectStatusView : public QWidget {
    Q_OBJECT
public:
    EjectStatusView(Ejector& ejector, const QString& targetID, const QString& busyText, QWidget* parent = nullptr);

    // Follows the ejector's current status of the target.
    void refresh();
    // While the eject writes out cached data: "Ejecting… writing 340 MB, about 12 s" over a bar
    // of the share written since the eject began; the plain busy text otherwise.
    void presentFlush(ByteUnits units);
    StatusLine* busyLine() const { return m_busy; }
    // The target's last eject failed.
    bool hasFailure() const;

private:
    Ejector& m_ejector;
    QString m_targetID;
    QString m_busyText;
    StatusLine* m_busy;
    QPointer<BlockersView> m_blockers;
};

} // namespace mallowby
