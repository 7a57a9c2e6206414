#include "support/LoopImage.h"

#include "support/TestEnvironment.h"

#include <QDir>
#include <QFile>

namespace mallowby::test {

LoopImage::LoopImage(const QString& label, int megabytes, const QString& fileName, const QString& type)
    : m_dir(QDir::tempPath() + QStringLiteral("/mallowby-loop-XXXXXX"))
{
    m_image = m_dir.filePath(fileName);
    m_mountPath = m_dir.filePath(label);
    QDir().mkpath(m_mountPath);
    QString device;
    if (step(QStringLiteral("truncate"), {QStringLiteral("-s"), QStringLiteral("%1M").arg(megabytes), m_image})
        && step(QStringLiteral("mkfs.") + type, {QStringLiteral("-q"), QStringLiteral("-L"), label, m_image})
        && step(QStringLiteral("losetup"), {QStringLiteral("--find"), QStringLiteral("--show"), m_image}, &device)) {
        m_device = device.trimmed();
        if (TestEnvironment::udevdRuns())
            step(QStringLiteral("udevadm"), {QStringLiteral("settle"), QStringLiteral("--timeout=10")});
    }
}

LoopImage::~LoopImage()
{
    unmount();
    if (!m_device.isEmpty())
        TestEnvironment::run(QStringLiteral("losetup"), {QStringLiteral("-d"), m_device});
}

bool LoopImage::isInMountTable() const
{
    QFile table(QStringLiteral("/proc/self/mountinfo"));
    return table.open(QIODevice::ReadOnly) && table.readAll().contains(" " + m_mountPath.toUtf8() + " ");
}

bool LoopImage::isAttached() const
{
    return !m_device.isEmpty() && QFile::exists(QStringLiteral("/sys/block/%1/loop/backing_file").arg(m_device.mid(5)));
}

bool LoopImage::step(const QString& program, const QStringList& arguments, QString* out)
{
    const auto result = TestEnvironment::run(program, arguments);
    if (result.exitCode != 0) {
        m_error = QStringLiteral("%1 %2 failed: %3").arg(program, arguments.join(QLatin1Char(' ')), result.err.trimmed());
        return false;
    }
    if (out)
        *out = result.out;
    return true;
}

bool LoopImage::mount()
{
    if (m_mounted || m_device.isEmpty())
        return m_mounted;
    m_mounted = step(QStringLiteral("mount"), {m_device, m_mountPath});
    return m_mounted;
}

bool LoopImage::waitForUdisks() const
{
    return TestEnvironment::waitUntil(
        [&] {
            return TestEnvironment::run(QStringLiteral("udisksctl"), {QStringLiteral("info"), QStringLiteral("-b"), m_device}).exitCode == 0;
        },
        std::chrono::seconds(10));
}

bool LoopImage::unmount()
{
    if (!m_mounted)
        return true;
    m_mounted = !step(QStringLiteral("umount"), {m_mountPath});
    return !m_mounted;
}

} // namespace mallowby::test
