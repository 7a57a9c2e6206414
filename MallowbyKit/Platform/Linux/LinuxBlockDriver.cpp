#include "Platform/Linux/LinuxBlockDriver.h"

#include "Platform/Linux/LinuxBlockRegistry.h"

#include <QFile>

#include <fcntl.h>
#include <unistd.h>

#include <array>
#include <limits>

namespace mallowby {

LinuxBlockDriver::LinuxBlockDriver(BlockDevice device, int fd) : BlockDriver(std::move(device)), m_fd(fd) {}

LinuxBlockDriver::~LinuxBlockDriver()
{
    ::close(m_fd);
}

std::unique_ptr<LinuxBlockDriver> LinuxBlockDriver::open(const Sysfs& sysfs, const BlockDevice& device)
{
    if (!sysfs.exists(device.bsdName))
        return nullptr;
    const QByteArray path = QFile::encodeName(sysfs.root() + QStringLiteral("/class/block/") + device.bsdName + QStringLiteral("/stat"));
    const int fd = ::open(path.constData(), O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        return nullptr;
    // Checked after opening, so the file cannot belong to a later attachment.
    if (LinuxBlockRegistry::driverID(sysfs, device.bsdName) != device.driverID) {
        ::close(fd);
        return nullptr;
    }
    return std::unique_ptr<LinuxBlockDriver>(new LinuxBlockDriver(device, fd));
}

std::optional<IOCounters> LinuxBlockDriver::counters()
{
    std::array<char, 512> buffer;
    const ssize_t length = ::pread(m_fd, buffer.data(), buffer.size(), 0);
    if (length <= 0 || size_t(length) == buffer.size())
        return std::nullopt;
    return parseStat(std::string_view(buffer.data(), size_t(length)));
}

std::optional<IOCounters> LinuxBlockDriver::parseStat(std::string_view line)
{
    constexpr size_t minimumFields = 11;
    constexpr quint64 sectorSize = 512;
    quint64 sectorsRead = 0, sectorsWritten = 0;
    size_t fields = 0;
    size_t i = 0;
    const auto isSpace = [](char c) { return c == ' ' || c == '\t' || c == '\n'; };
    for (;;) {
        while (i < line.size() && isSpace(line[i]))
            ++i;
        if (i == line.size())
            break;
        quint64 value = 0;
        const size_t start = i;
        for (; i < line.size() && !isSpace(line[i]); ++i) {
            const char c = line[i];
            if (c < '0' || c > '9')
                return std::nullopt;
            const quint64 digit = quint64(c - '0');
            if (value > (std::numeric_limits<quint64>::max() - digit) / 10)
                return std::nullopt;
            value = value * 10 + digit;
        }
        if (i == start)
            return std::nullopt;
        ++fields;
        if (fields == 3)
            sectorsRead = value;
        else if (fields == 7)
            sectorsWritten = value;
    }
    if (fields < minimumFields)
        return std::nullopt;
    return IOCounters{sectorsRead * sectorSize, sectorsWritten * sectorSize};
}

} // namespace mallowby
