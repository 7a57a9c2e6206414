#pragma once

#include <QCoro/QCoroTask>
#include <QString>

#include <optional>

namespace mallowby {

class Clock;
class VolumeStore;

// The headless developer modes that print the live volume list and end the process.
class DumpModes {
public:
    // Runs the dump the launch environment selects.
    static void dispatch(VolumeStore& volumes);

    // Waits up to 3 seconds for figures, prints the volume table, then quits the application.
    static QCoro::Task<> volumeDump(VolumeStore& volumes, Clock& clock);

    // One tab-separated table line of a volume.
    static QStringList volumeFields(const struct Volume& volume);
};

} // namespace mallowby
