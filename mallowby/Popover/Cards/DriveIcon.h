#pragma once

#include "Drives/Drive.h"

#include <QIcon>
#include <QWidget>

namespace mallowby {

// The drive's symbol, 24 × 24, in the accent colour; hidden from accessibility.
class DriveIcon : public QWidget {
    Q_OBJECT
public:
    explicit DriveIcon(QWidget* parent = nullptr);

    // "internaldrive" for an internal drive, "sdcard" on the Secure Digital bus, else "externaldrive".
    static QString symbolFor(const Drive& drive);

    const QString& symbol() const { return m_symbol; }
    void setDrive(const Drive& drive);

protected:
    void paintEvent(QPaintEvent* event) override;

private:
    QString m_symbol;
    QIcon m_icon;  // drawn for m_iconKey
    QString m_iconKey;
};

} // namespace mallowby
