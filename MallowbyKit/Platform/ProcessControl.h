#pragma once

#include <QString>

#include <functional>
#include <memory>
#include <optional>

namespace mallowby {

// Watching processes end and sending them signals, on the main thread.
class ProcessControl {
public:
    // An armed exit watch; destroying it cancels it.
    class Watch {
    public:
        virtual ~Watch() = default;
    };

    virtual ~ProcessControl() = default;

    // Calls `exited` once, on the main thread, when the process ends. When the pid now belongs
    // to another program than `executablePath` (the process ended and its pid was reused), it
    // counts as ended. None when the process cannot be watched (it may be gone already).
    virtual std::unique_ptr<Watch> watchExit(qint32 pid, const std::optional<QString>& executablePath,
                                             std::function<void()> exited) = 0;
    // The signal-0 probe: true when there is no such process.
    virtual bool isGone(qint32 pid) const = 0;
    // Sends a signal; true when it was delivered.
    virtual bool signal(qint32 pid, int signal) = 0;
};

} // namespace mallowby
