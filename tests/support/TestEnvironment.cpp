#include "support/TestEnvironment.h"

#include <QCoreApplication>
#include <QDeadlineTimer>
#include <QProcess>
#include <QThread>

namespace mallowby::test {

std::optional<QString> TestEnvironment::missingForLoopDevices()
{
    if (!isRoot())
        return QStringLiteral("needs root (loop devices and mounts); run scripts/test as root");
    if (!QFileInfo::exists(QStringLiteral("/dev/loop-control")))
        return QStringLiteral("no loop device support here (/dev/loop-control is missing)");
    return std::nullopt;
}

bool TestEnvironment::udisksRuns()
{
    const auto reply = run(QStringLiteral("dbus-send"),
                           {QStringLiteral("--system"), QStringLiteral("--print-reply"), QStringLiteral("--dest=org.freedesktop.DBus"),
                            QStringLiteral("/"), QStringLiteral("org.freedesktop.DBus.NameHasOwner"),
                            QStringLiteral("string:org.freedesktop.UDisks2")},
                           std::chrono::seconds(5));
    return reply.exitCode == 0 && reply.out.contains(QLatin1String("boolean true"));
}

std::optional<QString> TestEnvironment::missingForEjects()
{
    if (auto missing = missingForLoopDevices())
        return missing;
    if (!udisksRuns())
        return QStringLiteral("udisksd is not running on the system bus (scripts/services starts it)");
    return std::nullopt;
}

TestEnvironment::Result TestEnvironment::run(const QString& program, const QStringList& arguments,
                                             std::chrono::milliseconds timeout)
{
    QProcess process;
    process.start(program, arguments);
    Result result;
    if (!process.waitForStarted(int(timeout.count()))) {
        result.err = process.errorString();
        return result;
    }
    process.closeWriteChannel();
    if (!process.waitForFinished(int(timeout.count()))) {
        process.kill();
        process.waitForFinished();
        result.err = QStringLiteral("timed out");
        return result;
    }
    result.exitCode = process.exitStatus() == QProcess::NormalExit ? process.exitCode() : -1;
    result.out = QString::fromUtf8(process.readAllStandardOutput());
    result.err = QString::fromUtf8(process.readAllStandardError());
    return result;
}

bool TestEnvironment::waitUntil(const std::function<bool()>& condition, std::chrono::milliseconds timeout)
{
    QDeadlineTimer deadline(timeout);
    while (!condition()) {
        if (deadline.hasExpired())
            return false;
        QCoreApplication::processEvents(QEventLoop::AllEvents, 10);
        QThread::msleep(1);
    }
    return true;
}

} // namespace mallowby::test
