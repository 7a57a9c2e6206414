#pragma once

#include <QtGlobal>

#include <functional>
#include <memory>
#include <optional>

namespace mallowby {

// Watching processes end and sending them signals, on the main thread. A process is named by
// its pid and its start time as the scan read it; when the start time is known, a pid that now
// has another one belongs to a later process and counts as the scanned one having ended.
class ProcessControl {
public:
    // An armed exit watch; destroying it cancels it.
    class Watch {
    public:
        virtual ~Watch() = default;
    };

    virtual ~ProcessControl() = default;

    // Calls `exited` once, on a later turn of the main thread's event loop, when the process
    // ends (at once when its pid already belongs to a later process). None when there is no
    // such process.
    virtual std::unique_ptr<Watch> watchExit(qint32 pid, std::optional<quint64> startTime,
                                             std::function<void()> exited) = 0;
    // The signal-0 probe: true when there is no such process (or only a later one with its pid).
    virtual bool isGone(qint32 pid, std::optional<quint64> startTime) const = 0;
    // Sends a signal to that process and no other; true when it was delivered.
    virtual bool signal(qint32 pid, std::optional<quint64> startTime, int signal) = 0;
};

} // namespace mallowby
