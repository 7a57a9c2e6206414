#pragma once

#include <QHash>
#include <QString>

namespace mallowby {

// The udev database's properties of a block device ("ID_FS_UUID", "ID_MODEL", …). Empty when
// udev never saw the device (no udevd). Reads /run/udev and sysfs only; never blocks.
class UdevProperties {
public:
    static QHash<QString, QString> ofBlockDevice(quint64 deviceNumber);

    // Undoes udev's "\xNN" escaping of the *_ENC properties (bytes, then UTF-8).
    static QString decode(const QString& encoded);
};

} // namespace mallowby
