#pragma once

#include <QHash>
#include <QString>

namespace mallowby {

// The udev database's properties of a block device ("ID_FS_UUID", "ID_MODEL", …). Empty when
// udev never saw the device (no udevd). Reads /run/udev and sysfs only; never blocks.
class UdevProperties {
public:
    static QHash<QString, QString> ofBlockDevice(quint64 deviceNumber);

    // Undoes the "\xNN" escaping of udev's *_ENC properties and of systemd unit names (bytes,
    // then UTF-8).
    static QString decode(const QString& encoded);
};

} // namespace mallowby
