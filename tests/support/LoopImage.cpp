#include "support/LoopImage.h"

#include "support/TestEnvironment.h"

#include <QDir>
#include <QFile>

namespace mallowby::test {

LoopImage::LoopImage(const QString& label, int megabytes, const QString& fileName, const QString& type)
    : m_dir(QDir::tempPath() + QStringLiteral("/mallowby-loop-XXXXXX")), m_image(m_dir.filePath(fileName)), m_mountPath(m_dir.filePath(label))
{
    QDir().mkpath(m_mountPath);
    if (step("truncate", {"-s", QStringLiteral("%1M").arg(megabytes), m_image}) && step("mkfs." + type, {"-q", "-L", label, m_image})
        && step("losetup", {"--find", "--show", m_image}, &m_device)) {
        m_device = m_device.trimmed();
        if (TestEnvironment::udevdRuns())
            step("udevadm", {"settle", "--timeout=10"});
    }
}

LoopImage::~LoopImage()
{
    unmount();
    if (!m_device.isEmpty())
        TestEnvironment::run("losetup", {"-d", m_device});
}

bool LoopImage::step(const QString& program, const QStringList& arguments, QString* out)
{
    const auto result = TestEnvironment::run(program, arguments);
    if (result.exitCode != 0)
        m_error = QStringLiteral("%1 %2 failed: %3").arg(program, arguments.join(' '), result.err.trimmed());
    else if (out)
        *out = result.out;
    return result.exitCode == 0;
}

bool LoopImage::mount()
{
    if (!m_mounted && !m_device.isEmpty())
        m_mounted = step("mount", {m_device, m_mountPath});
    return m_mounted;
}

bool LoopImage::unmount()
{
    if (m_mounted)
        m_mounted = !step("umount", {m_mountPath});
    return !m_mounted;
}

bool LoopImage::waitForUdisks() const
{
    return TestEnvironment::waitUntil([&] { return TestEnvironment::run("udisksctl", {"info", "-b", m_device}).exitCode == 0; },
                                      std::chrono::seconds(10));
}

bool LoopImage::isInMountTable() const
{
    QFile table("/proc/self/mountinfo");
    return table.open(QIODevice::ReadOnly) && table.readAll().contains(" " + m_mountPath.toUtf8() + " ");
}

bool LoopImage::isAttached() const
{
    return !m_device.isEmpty() && QFile::exists("/sys/block/" + m_device.mid(5) + "/loop/backing_file");
}

} // namespace mallowby::test
