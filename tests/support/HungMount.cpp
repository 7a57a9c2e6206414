#include "support/HungMount.h"

#include "support/TestEnvironment.h"

#include <QDir>
#include <QFile>

#include <csignal>

namespace mallowby::test {

namespace {

// A field of /proc/PID/stat after the command name, counted from 3 (the state).
QByteArray statField(const QString& statPath, int field)
{
    QFile file(statPath);
    if (!file.open(QIODevice::ReadOnly))
        return {};
    const QByteArray stat = file.readAll();
    const QList<QByteArray> fields = stat.mid(stat.lastIndexOf(')') + 2).split(' ');
    return field - 3 < fields.size() ? fields[field - 3] : QByteArray();
}

} // namespace

HungMount::HungMount(Statfs statfs) : m_path(m_dir.filePath(QStringLiteral("hung share")))
{
    if (missing())
        return;
    QDir().mkpath(m_path);
    QStringList arguments{m_path};
    if (statfs == Statfs::absurd)
        arguments << QStringLiteral("absurd");
    m_server.start(TestEnvironment::hangfsBinary(), arguments);
    if (!TestEnvironment::waitUntil([&] { return isMounted(); }, std::chrono::seconds(10)))
        m_error = QStringLiteral("hangfs did not mount: ") + QString::fromUtf8(m_server.readAllStandardError());
}

HungMount::~HungMount()
{
    abort();
}

std::optional<QString> HungMount::missing()
{
    if (!TestEnvironment::isRoot())
        return QStringLiteral("needs root to mount a FUSE file system");
    if (!QFile::exists(QStringLiteral("/dev/fuse")))
        return QStringLiteral("no /dev/fuse here");
    return std::nullopt;
}

bool HungMount::isMounted() const
{
    QFile file(QStringLiteral("/proc/self/mountinfo"));
    const QByteArray escaped = QFile::encodeName(m_path).replace(" ", "\\040");
    return file.open(QIODevice::ReadOnly) && file.readAll().contains(" " + escaped + " ");
}

void HungMount::abort()
{
    if (m_server.state() != QProcess::NotRunning) {
        // Its statfs thread never returns, so only SIGKILL ends it; closing /dev/fuse aborts.
        m_server.kill();
        m_server.waitForFinished(5000);
    }
    if (isMounted())
        TestEnvironment::run(QStringLiteral("umount"), {QStringLiteral("-l"), m_path});
}

QString threadStates(qint64 pid)
{
    QString states;
    const QString tasks = QStringLiteral("/proc/%1/task").arg(pid);
    for (const QString& task : QDir(tasks).entryList(QDir::Dirs | QDir::NoDotAndDotDot))
        states += QString::fromLatin1(statField(tasks + QLatin1Char('/') + task + QStringLiteral("/stat"), 3));
    return states;
}

QList<qint64> childrenOf(qint64 pid)
{
    QList<qint64> children;
    const QString tasks = QStringLiteral("/proc/%1/task").arg(pid);
    for (const QString& task : QDir(tasks).entryList(QDir::Dirs | QDir::NoDotAndDotDot)) {
        QFile file(tasks + QLatin1Char('/') + task + QStringLiteral("/children"));
        if (file.open(QIODevice::ReadOnly))
            for (const QByteArray& child : file.readAll().split(' '))
                if (child.trimmed().toLongLong() > 0)
                    children.append(child.trimmed().toLongLong());
    }
    return children;
}

} // namespace mallowby::test
