#include "DumpModes.h"

#include "Support/Clock.h"
#include "Support/Console.h"
#include "Volumes/VolumeStore.h"

#include <QCoreApplication>
#include <QPointer>

#include <algorithm>

namespace mallowby {

void DumpModes::dispatch(VolumeStore& volumes)
{
    volumeDump(volumes, Clock::system());
}

QStringList DumpModes::volumeFields(const Volume& volume)
{
    QStringList fields{volume.name, volume.kind.rawValue(), volume.format, volume.deviceProtocol.value_or(QStringLiteral("-"))};
    if (const auto& space = volume.space) {
        fields << QString::number(space->total) << QString::number(space->available)
               << QString::number(space->availableStrict) << QLatin1String(space->isStale ? "true" : "false");
    } else {
        fields << QStringLiteral("-") << QStringLiteral("-") << QStringLiteral("-") << QStringLiteral("-");
    }
    fields << volume.mountPath;
    return fields;
}

QCoro::Task<> DumpModes::volumeDump(VolumeStore& store, Clock& clock)
{
    QPointer<VolumeStore> volumes(&store);
    const auto start = clock.now();
    const auto waiting = [&] {
        return volumes && std::any_of(volumes->volumes().cbegin(), volumes->volumes().cend(),
                                      [](const Volume& v) { return !v.space; });
    };
    while (waiting() && clock.now() - start < std::chrono::seconds(3))
        co_await clock.sleep(std::chrono::milliseconds(50));
    if (!volumes)
        co_return;

    Console::printFields({QStringLiteral("name"), QStringLiteral("kind"), QStringLiteral("format"),
                          QStringLiteral("protocol"), QStringLiteral("total"), QStringLiteral("available"),
                          QStringLiteral("strict"), QStringLiteral("stale"), QStringLiteral("path")});
    for (const Volume& volume : volumes->volumes())
        Console::printFields(volumeFields(volume));
    Console::flush();
    QCoreApplication::quit();
}

} // namespace mallowby
