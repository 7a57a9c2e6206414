#pragma once

#include "Drives/BlockDriver.h"
#include "Platform/Linux/Sysfs.h"

#include <memory>
#include <optional>
#include <string_view>

namespace mallowby {

// A disk's counters from its sysfs "stat" file, kept open and read with one pread per sample.
// Once the disk is removed the kernel fails the read, and the driver gives no counters.
class LinuxBlockDriver final : public BlockDriver {
public:
    ~LinuxBlockDriver() override;

    // None when the disk is gone, or its name now belongs to another attachment.
    static std::unique_ptr<LinuxBlockDriver> open(const Sysfs& sysfs, const BlockDevice& device);

    std::optional<IOCounters> counters() override;

    // Sectors read and written (fields 3 and 7, always 512-byte units) of a stat line, as bytes.
    // None unless the line holds at least the kernel's 11 decimal fields.
    static std::optional<IOCounters> parseStat(std::string_view line);

private:
    LinuxBlockDriver(BlockDevice device, int fd);

    int m_fd;
};

} // namespace mallowby
