#include "Volumes/SpaceReader.h"

#include <QCoro/QCoroFuture>
#include <QFile>
#include <QFuture>
#include <QPromise>
#include <QThread>
#include <QThreadPool>
#include <QTimer>

#include <mutex>
#include <set>

#include <sys/statvfs.h>

namespace mallowby {

namespace {

std::mutex& inFlightLock()
{
    static std::mutex lock;
    return lock;
}

std::set<QString>& inFlightPaths()
{
    static std::set<QString> paths;
    return paths;
}

// Completes a read exactly once: with the result, or with absent at the timeout.
class Completion {
public:
    Completion() { m_promise.start(); }
    QFuture<std::optional<Space>> future() { return m_promise.future(); }

    void complete(std::optional<Space> result)
    {
        std::lock_guard guard(m_lock);
        if (m_done)
            return;
        m_done = true;
        m_promise.addResult(std::move(result));
        m_promise.finish();
    }

private:
    std::mutex m_lock;
    bool m_done = false;
    QPromise<std::optional<Space>> m_promise;
};

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

    auto completion = std::make_shared<Completion>();
    auto future = completion->future();
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

    co_return co_await future;
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
