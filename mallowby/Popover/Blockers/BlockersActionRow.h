#pragma once

#include "Eject/Ejector.h"

#include <QWidget>

class QPushButton;

namespace mallowby {

class ProgressIndicator;

// The blockers panel's buttons: a progress indicator while the ejector works, "close", and
// either "eject" or "force eject…" with "retry". Only "close" works while an eject runs; "force
// eject…" works while a scan runs too.
class BlockersActionRow : public QWidget {
    Q_OBJECT
public:
    explicit BlockersActionRow(QWidget* parent = nullptr);

    void present(bool failed, Ejector::Phase phase);
    // "eject" or "retry": the default action of the panel.
    QPushButton* primaryButton() const { return m_primary; }
    QPushButton* closeButton() const { return m_close; }

signals:
    void closeRequested();
    void forceRequested();
    void primaryRequested();

private:
    ProgressIndicator* m_progress;
    QPushButton* m_close;
    QPushButton* m_force;
    QPushButton* m_primary;
};

} // namespace mallowby
