#include "Volumes/SpaceReader.h"

#include "Support/OneShot.h"

#include <QFile>
#include <QThread>
#include <QThreadPool>
#include <QTimer>

#include <mutex>
#include <set>

#include <sys/statvfs.h>

namespace mallowby {

namespace {

// Never destroyed: a reader thread stuck in statvfs may return after static destruction.
std::mutex& inFlightLock()
{
    static auto* const lock = new std::mutex;
    return *lock;
}

std::set<QString>& inFlightPaths()
{
    static auto* const paths = new std::set<QString>;
    return *paths;
}

} // namespace

QThreadPool& SpaceReader::pool()
{
    static QThreadPool* const pool = [] {
        auto* p = new QThreadPool;
        p->setObjectName(QStringLiteral("as.quillon.mallowby.space"));
        // One thread per stuck path at most, thanks to the in-flight set; leave room for many.
        p->setMaxThreadCount(64);
        return p;
    }();
    return *pool;
}

bool SpaceReader::isInFlight(const QString& path)
{
    std::lock_guard guard(inFlightLock());
    return inFlightPaths().count(path) > 0;
}

QCoro::Task<std::optional<Space>> SpaceReader::read(QString path) const
{
    {
        std::lock_guard guard(inFlightLock());
        if (!inFlightPaths().insert(path).second)
            co_return std::nullopt;
    }

    // The first of the read and the timeout answers.
    auto completion = OneShot<std::optional<Space>>::make();
    pool().start([completion, readBlocking = readBlocking, path] {
        QThread::currentThread()->setObjectName(QStringLiteral("as.quillon.mallowby.space"));
        std::optional<Space> result = readBlocking ? readBlocking(path) : std::nullopt;
        {
            std::lock_guard guard(inFlightLock());
            inFlightPaths().erase(path);
        }
        completion->complete(result);
    });
    QTimer::singleShot(timeout, [completion] { completion->complete(std::nullopt); });

    co_return co_await *completion;
}

std::optional<Space> SpaceReader::defaultReadBlocking(const QString& path)
{
    struct statvfs info {};
    if (::statvfs(QFile::encodeName(path).constData(), &info) != 0)
        return std::nullopt;
    const qint64 unit = qint64(info.f_frsize ? info.f_frsize : info.f_bsize);
    const qint64 total = qint64(info.f_blocks) * unit;
    const qint64 free = qint64(info.f_bavail) * unit;
    return Space{total, free, free, false};
}

} // namespace mallowby
