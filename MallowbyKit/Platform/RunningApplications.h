#pragma once

#include "Platform/RunningApplication.h"

namespace mallowby {

// Looks up the running-application record of a process: present only for an application's own
// process, not for its children.
class RunningApplications {
public:
    virtual ~RunningApplications() = default;
    virtual std::optional<RunningApplication> forPid(qint32 pid) const = 0;
};

} // namespace mallowby
