#include "Volumes/SpaceReader.h"

#include "Support/OneShot.h"
#include "Volumes/SpaceHelper.h"

#include <QCoreApplication>
#include <QPointer>
#include <QThread>
#include <QThreadPool>
#include <QTimer>

#include <mutex>
#include <set>

namespace mallowby {

namespace {

// Never destroyed: an injected read may return after static destruction.
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

// Runs injected reads. Never destroyed: one stuck in a test must not hold up its exit.
QThreadPool& injectedReads()
{
    static QThreadPool* const pool = [] {
        auto* p = new QThreadPool;
        p->setObjectName(QStringLiteral("as.quillon.mallowby.space"));
        p->setMaxThreadCount(64);
        return p;
    }();
    return *pool;
}

} // namespace

bool SpaceReader::isInFlight(const QString& path)
{
    std::lock_guard guard(inFlightLock());
    return inFlightPaths().count(path) > 0;
}

QCoro::Task<std::optional<Space>> SpaceReader::read(QString path) const
{
    // No file system has such a path, and the helper's requests end at a NUL.
    if (path.isEmpty() || path.contains(QChar(0)))
        co_return std::nullopt;
    {
        std::lock_guard guard(inFlightLock());
        if (!inFlightPaths().insert(path).second)
            co_return std::nullopt;
    }

    // The read's end frees the path; the first of it and the timeout answers.
    auto completion = OneShot<std::optional<Space>>::make();
    const auto end = [completion, path](std::optional<Space> result) {
        {
            std::lock_guard guard(inFlightLock());
            inFlightPaths().erase(path);
        }
        completion->complete(result);
    };
    QPointer<SpaceHelper> helper;
    if (readBlocking) {
        injectedReads().start([readBlocking = readBlocking, path, end] {
            QThread::currentThread()->setObjectName(QStringLiteral("as.quillon.mallowby.space"));
            end(readBlocking(path));
        });
    } else if ((helper = SpaceHelper::acquire(SpaceHelper::program()))) {
        helper->ask(path, end);
    } else {
        end(std::nullopt);
    }
    QTimer::singleShot(timeout, Qt::PreciseTimer, QCoreApplication::instance(), [completion, helper] {
        if (completion->complete(std::nullopt) && helper)
            helper->abandon();
    });

    co_return co_await *completion;
}

} // namespace mallowby
