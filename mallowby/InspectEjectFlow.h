#pragma once

#include <QCoro/QCoroTask>
#include <QString>

#include <chrono>
#include <functional>

namespace mallowby {

class Clock;
class DriveMonitor;
class Ejector;
class VolumeStore;
struct Blocker;
class EjectFailure;
class FlushWatch;

// The MALLOWBY_INSPECT and MALLOWBY_EJECT modes: wait until a path is mounted on a drive, then
// scan for what holds the drive or eject it, and print the outcome. The application goes on.
class InspectEjectFlow {
public:
    enum class Action { inspect, eject };

    // With a flush watch, an eject prints a progress line every half second while it writes out
    // cached data.
    static QCoro::Task<> run(VolumeStore& volumes, DriveMonitor& drives, Ejector& ejector, QString path, Action action,
                             std::function<void(const QString& driveID)> focus, Clock& clock,
                             FlushWatch* flushes = nullptr);

    // "ejected: true -", "ejected: false busy".
    static QString ejectedLine(bool ejected, const std::optional<EjectFailure>& failure);
    // "flushing: 340000000 bytes left, 28000000 B/s".
    static QString flushingLine(quint64 bytesLeft, double rate);
    // "scan: 12 processes, 0.034 seconds".
    static QString scanLine(qint64 processCount, std::chrono::nanoseconds duration);
    // `501 bash Terminal false ["working directory /media/usb"]`.
    static QString blockerLine(const Blocker& blocker);
    // An element of the list form: in double quotes, with '"' and '\\' escaped by a backslash, and
    // line breaks and tabs as \\n, \\r, \\t so that the line stays one line.
    static QString quoted(const QString& text);
    // The shortest decimal that reads back as the same double, "0.0" for zero.
    static QString shortestDecimal(double value);
};

} // namespace mallowby
