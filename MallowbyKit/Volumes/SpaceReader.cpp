#include "Volumes/SpaceReader.h"

#include <QCoreApplication>
#include <QFile>
#include <QMetaObject>
#include <QThread>
#include <QThreadPool>
#include <QTimer>

#include <coroutine>
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

// Completes a read exactly once, with the result or with absent at the timeout, and resumes
// the awaiting coroutine on the main thread.
class Completion : public std::enable_shared_from_this<Completion> {
public:
    void complete(std::optional<Space> result)
    {
        std::coroutine_handle<> waiter;
        {
            std::lock_guard guard(m_lock);
            if (m_done)
                return;
            m_done = true;
            m_result = std::move(result);
            waiter = std::exchange(m_waiter, {});
        }
        if (waiter) {
            if (auto* app = QCoreApplication::instance())
                QMetaObject::invokeMethod(app, [waiter] { waiter.resume(); }, Qt::QueuedConnection);
        }
    }

    auto operator co_await()
    {
        struct Awaiter {
            std::shared_ptr<Completion> completion;
            bool await_ready() const noexcept { return false; }
            bool await_suspend(std::coroutine_handle<> handle)
            {
                std::lock_guard guard(completion->m_lock);
                if (completion->m_done)
                    return false;  // already answered: carry on at once
                completion->m_waiter = handle;
                return true;
            }
            std::optional<Space> await_resume()
            {
                std::lock_guard guard(completion->m_lock);
                return completion->m_result;
            }
        };
        return Awaiter{shared_from_this()};
    }

private:
    std::mutex m_lock;
    bool m_done = false;
    std::optional<Space> m_result;
    std::coroutine_handle<> m_waiter;
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
