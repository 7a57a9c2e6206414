#include "Platform/Linux/UdevProperties.h"

#include <libudev.h>

#include <memory>

namespace mallowby {

QHash<QString, QString> UdevProperties::ofBlockDevice(quint64 deviceNumber)
{
    QHash<QString, QString> properties;
    std::unique_ptr<udev, decltype(&udev_unref)> context(udev_new(), &udev_unref);
    if (!context)
        return properties;
    std::unique_ptr<udev_device, decltype(&udev_device_unref)> device(
        udev_device_new_from_devnum(context.get(), 'b', dev_t(deviceNumber)), &udev_device_unref);
    if (!device)
        return properties;
    for (udev_list_entry* entry = udev_device_get_properties_list_entry(device.get()); entry;
         entry = udev_list_entry_get_next(entry)) {
        const char* value = udev_list_entry_get_value(entry);
        properties.insert(QString::fromUtf8(udev_list_entry_get_name(entry)), QString::fromUtf8(value ? value : ""));
    }
    return properties;
}

QString UdevProperties::decode(const QString& encoded)
{
    const QByteArray in = encoded.toUtf8();
    QByteArray out;
    out.reserve(in.size());
    for (qsizetype i = 0; i < in.size(); ++i) {
        if (in[i] == '\\' && i + 3 < in.size() && in[i + 1] == 'x') {
            bool ok = false;
            const int byte = in.mid(i + 2, 2).toInt(&ok, 16);
            if (ok) {
                out.append(char(byte));
                i += 3;
                continue;
            }
        }
        out.append(in[i]);
    }
    return QString::fromUtf8(out);
}

} // namespace mallowby
