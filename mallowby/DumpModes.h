#pragma once

#include <QCoro/QCoroTask>
#include <QString>
#include <QStringList>

#include <functional>
#include <optional>

namespace mallowby {

class Clock;
class DriveMonitor;
class VolumeStore;
struct Drive;
struct Volume;

// The headless developer modes that print the live volume list or drive rates and end the process.
class DumpModes {
public:
    // Runs the dump the launch environment selects: the rate dump when MALLOWBY_DUMP_RATES holds
    // a whole number of seconds, otherwise the volume dump.
    static void dispatch(VolumeStore& volumes, DriveMonitor& drives);

    // Waits up to 3 seconds for figures, prints the volume table, then quits the application.
    static QCoro::Task<> volumeDump(VolumeStore& volumes, Clock& clock);

    // Prints one block of rates per sample at 1-second sampling, and calls `terminate` after the
    // first block at or beyond `seconds` since the start.
    static void rateDump(DriveMonitor& drives, qint64 seconds, Clock& clock, std::function<void()> terminate);

    // A signed decimal integer: an optional "+" or "-", then digits only, in 64 bits; else none.
    static std::optional<qint64> parseSeconds(const QString& text);

    // One tab-separated table line of a volume.
    static QStringList volumeFields(const Volume& volume);
    // One tab-separated rate line of a drive at `time` ("%.1f" seconds).
    static QStringList rateFields(const QString& time, const Drive& drive);
};

} // namespace mallowby
