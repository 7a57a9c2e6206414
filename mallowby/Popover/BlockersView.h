#pragma once

#include <QString>
#include <QWidget>

namespace mallowby {

class Ejector;

// The panel a drive or network card shows while the ejector holds a status for its target:
// what happened, what holds the drive, and the remedies. Shows nothing without a status.
class BlockersView : public QWidget {
    Q_OBJECT
public:
    BlockersView(Ejector& ejector, const QString& targetID, QWidget* parent = nullptr);

    const QString& targetID() const { return m_targetID; }

private:
    Ejector& m_ejector;
    QString m_targetID;
};

} // namespace mallowby
