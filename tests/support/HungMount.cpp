#include "support/HungMount.h"

#include "support/TestEnvironment.h"

#include <QDir>
#include <QFile>

#include <csignal>

namespace mallowby::test {

HungMount::HungMount(const QString& argument) : m_path(m_dir.filePath(QStringLiteral("hung share")))
{
    if (missing())
        return;
    QDir().mkpath(m_path);
    m_server.start(TestEnvironment::hangfsBinary(), argument.isEmpty() ? QStringList{m_path} : QStringList{m_path, argument});
    if (!TestEnvironment::waitUntil([&] { return isMounted(); }, std::chrono::seconds(10)))
        m_error = "hangfs did not mount: " + QString::fromUtf8(m_server.readAllStandardError());
}

std::optional<QString> HungMount::missing()
{
    if (!TestEnvironment::isRoot())
        return QStringLiteral("needs root to mount a FUSE file system");
    if (!QFile::exists("/dev/fuse"))
        return QStringLiteral("no /dev/fuse here");
    return std::nullopt;
}

bool HungMount::isMounted() const
{
    QFile file("/proc/self/mountinfo");
    return file.open(QIODevice::ReadOnly) && file.readAll().contains(" " + QFile::encodeName(m_path).replace(" ", "\\040") + " ");
}

void HungMount::stall()
{
    ::kill(pid_t(m_server.processId()), SIGUSR1);
}

void HungMount::abort()
{
    // A thread of it that waits never returns, so only SIGKILL ends it; closing /dev/fuse aborts.
    if (m_server.state() != QProcess::NotRunning) {
        m_server.kill();
        m_server.waitForFinished(5000);
    }
    if (isMounted())
        TestEnvironment::run("umount", {"-l", m_path});
}

QString threadStates(qint64 pid)
{
    QString states;
    const QString tasks = QStringLiteral("/proc/%1/task/").arg(pid);
    for (const QString& task : QDir(tasks).entryList(QDir::Dirs | QDir::NoDotAndDotDot)) {
        // The state is the field after the command name, which ends at the last ')'.
        QFile stat(tasks + task + "/stat");
        const QByteArray text = stat.open(QIODevice::ReadOnly) ? stat.readAll() : QByteArray();
        states += QString::fromLatin1(text.mid(text.lastIndexOf(')') + 2, 1));
    }
    return states;
}

QList<qint64> childrenOf(qint64 pid)
{
    QList<qint64> children;
    const QString tasks = QStringLiteral("/proc/%1/task/").arg(pid);
    for (const QString& task : QDir(tasks).entryList(QDir::Dirs | QDir::NoDotAndDotDot)) {
        QFile file(tasks + task + "/children");
        if (file.open(QIODevice::ReadOnly))
            for (const QByteArray& child : file.readAll().split(' '))
                if (child.trimmed().toLongLong() > 0)
                    children.append(child.trimmed().toLongLong());
    }
    return children;
}

} // namespace mallowby::test
