#include "DumpModes.h"

#include "Drives/DriveMonitor.h"
#include "Support/Clock.h"
#include "Support/Console.h"
#include "Support/LaunchEnvironment.h"
#include "Volumes/VolumeStore.h"

#include <QCoreApplication>
#include <QPointer>

#include <algorithm>
#include <cmath>
#include <limits>

namespace mallowby {

void DumpModes::dispatch(VolumeStore& volumes, DriveMonitor& drives)
{
    const auto value = LaunchEnvironment::shared().value(QStringLiteral("MALLOWBY_DUMP_RATES"));
    if (const auto seconds = value ? parseSeconds(*value) : std::nullopt) {
        rateDump(drives, *seconds, Clock::system(), [] { QCoreApplication::quit(); });
        return;
    }
    volumeDump(volumes, Clock::system());
}

std::optional<qint64> DumpModes::parseSeconds(const QString& text)
{
    qsizetype i = 0;
    const bool negative = text.startsWith(QLatin1Char('-'));
    if (negative || text.startsWith(QLatin1Char('+')))
        i = 1;
    if (i == text.size())
        return std::nullopt;
    // Accumulated as a negative number, which reaches one further than a positive one.
    constexpr qint64 lowest = std::numeric_limits<qint64>::min();
    qint64 value = 0;
    for (; i < text.size(); ++i) {
        const QChar c = text[i];
        if (c < QLatin1Char('0') || c > QLatin1Char('9'))
            return std::nullopt;
        const int digit = c.unicode() - '0';
        if (value < (lowest + digit) / 10)
            return std::nullopt;
        value = value * 10 - digit;
    }
    if (!negative) {
        if (value == lowest)
            return std::nullopt;
        value = -value;
    }
    return value;
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

QStringList DumpModes::rateFields(const QString& time, const Drive& drive)
{
    QStringList disks;
    for (const BlockDevice& member : drive.members)
        disks.append(member.bsdName);
    const auto rate = [](const std::optional<double>& value) {
        return value ? QString::number(qint64(std::trunc(*value))) : QStringLiteral("-");
    };
    return {time, drive.name, disks.join(QLatin1Char('+')), drive.kind.rawValue(), rate(drive.readRate), rate(drive.writeRate)};
}

void DumpModes::rateDump(DriveMonitor& drives, qint64 seconds, Clock& clock, std::function<void()> terminate)
{
    const auto start = clock.now();
    Console::printFields({QStringLiteral("time"), QStringLiteral("drive"), QStringLiteral("disks"), QStringLiteral("kind"),
                          QStringLiteral("read"), QStringLiteral("write")});
    Console::flush();
    auto finished = std::make_shared<bool>(false);
    drives.setOnSample([&drives, &clock, start, seconds, finished, terminate = std::move(terminate)] {
        if (*finished)
            return;
        const double elapsed = std::chrono::duration<double>(clock.now() - start).count();
        const QString time = QString::asprintf("%.1f", elapsed);
        for (const Drive& drive : drives.drives())
            Console::printFields(rateFields(time, drive));
        Console::printFields({time, QStringLiteral("external total"), QStringLiteral("-"), QStringLiteral("-"),
                              QString::number(qint64(std::trunc(drives.externalReadRate()))),
                              QString::number(qint64(std::trunc(drives.externalWriteRate())))});
        Console::flush();
        if (elapsed >= double(seconds)) {
            *finished = true;
            terminate();
        }
    });
    drives.setDetailed(true);
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
