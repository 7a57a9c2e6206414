#pragma once

#include "Drives/BlockDevice.h"
#include "Drives/IOCounters.h"

#include <optional>

namespace mallowby {

// An open device whose cumulative counters can be read, one cheap read per sample. Obtained
// from the block registry; releases what it holds when destroyed.
class BlockDriver {
public:
    explicit BlockDriver(BlockDevice device) : m_device(std::move(device)) {}
    virtual ~BlockDriver() = default;
    BlockDriver(const BlockDriver&) = delete;
    BlockDriver& operator=(const BlockDriver&) = delete;

    const BlockDevice& device() const { return m_device; }

    // None when the device is gone or its statistics cannot be read.
    virtual std::optional<IOCounters> counters() = 0;

private:
    BlockDevice m_device;
};

} // namespace mallowby
