#include "Volumes/SpaceReader.h"

#include "support/TestEnvironment.h"

#include <QCoro/QCoroTask>
#include <QElapsedTimer>
#include <QTemporaryDir>

#include <gtest/gtest.h>

#include <atomic>
#include <condition_variable>
#include <mutex>

using namespace mallowby;
using mallowby::test::TestEnvironment;

namespace {

// A blocking read the test releases by hand.
struct Gate {
    std::mutex lock;
    std::condition_variable opened;
    bool open = false;
    std::atomic<int> calls = 0;

    SpaceReader::ReadBlocking read(Space answer)
    {
        return [this, answer](const QString&) -> std::optional<Space> {
            ++calls;
            std::unique_lock guard(lock);
            opened.wait(guard, [this] { return open; });
            return answer;
        };
    }
    void release()
    {
        std::lock_guard guard(lock);
        open = true;
        opened.notify_all();
    }
};

// Runs a read to completion on the event loop.
std::optional<Space> readNow(const SpaceReader& reader, const QString& path, qint64* elapsedMs = nullptr)
{
    std::optional<std::optional<Space>> answer;
    QElapsedTimer timer;
    timer.start();
    [](const SpaceReader& reader, QString path, std::optional<std::optional<Space>>& answer) -> QCoro::Task<> {
        answer = co_await reader.read(path);
    }(reader, path, answer);
    EXPECT_TRUE(TestEnvironment::waitUntil([&] { return answer.has_value(); }, std::chrono::seconds(10)));
    if (elapsedMs)
        *elapsedMs = timer.elapsed();
    return answer.value_or(std::nullopt);
}

} // namespace

TEST(SpaceReader, ReturnsTheBlockingReadsFigures)
{
    const Space figures{1000, 400, 400, false};
    const SpaceReader reader{std::chrono::seconds(2), [&](const QString&) { return std::optional(figures); }};
    EXPECT_EQ(readNow(reader, QStringLiteral("/fast")), figures);
    EXPECT_FALSE(SpaceReader::isInFlight(QStringLiteral("/fast")));
}

TEST(SpaceReader, TimesOutAndKeepsAStuckPathBusyUntilItReturns)
{
    Gate gate;
    const SpaceReader reader{std::chrono::milliseconds(200), gate.read(Space{10, 5, 5, false})};

    qint64 elapsed = 0;
    EXPECT_EQ(readNow(reader, QStringLiteral("/stuck"), &elapsed), std::nullopt);
    EXPECT_GE(elapsed, 180);
    EXPECT_LT(elapsed, 2000);
    EXPECT_TRUE(SpaceReader::isInFlight(QStringLiteral("/stuck")));

    // A second read of the same path answers at once and spends no thread.
    EXPECT_EQ(readNow(reader, QStringLiteral("/stuck"), &elapsed), std::nullopt);
    EXPECT_LT(elapsed, 100);
    EXPECT_EQ(gate.calls.load(), 1);

    // The late answer is dropped; the path is free again afterwards.
    gate.release();
    EXPECT_TRUE(TestEnvironment::waitUntil([] { return !SpaceReader::isInFlight(QStringLiteral("/stuck")); },
                                           std::chrono::seconds(5)));
    const SpaceReader quick{std::chrono::seconds(2), [](const QString&) { return std::optional(Space{7, 3, 3, false}); }};
    EXPECT_EQ(readNow(quick, QStringLiteral("/stuck")), (Space{7, 3, 3, false}));
}

TEST(SpaceReader, OtherPathsAreNotHeldUpByAStuckOne)
{
    Gate gate;
    const SpaceReader stuck{std::chrono::milliseconds(100), gate.read(Space{})};
    EXPECT_EQ(readNow(stuck, QStringLiteral("/hung-share")), std::nullopt);

    qint64 elapsed = 0;
    const SpaceReader quick{std::chrono::seconds(2), [](const QString&) { return std::optional(Space{1, 1, 1, false}); }};
    EXPECT_EQ(readNow(quick, QStringLiteral("/other"), &elapsed), (Space{1, 1, 1, false}));
    EXPECT_LT(elapsed, 500);
    gate.release();
    EXPECT_TRUE(TestEnvironment::waitUntil([] { return !SpaceReader::isInFlight(QStringLiteral("/hung-share")); },
                                           std::chrono::seconds(5)));
}

TEST(SpaceReader, DefaultReadUsesStatvfs)
{
    QTemporaryDir dir;
    const auto space = SpaceReader::defaultReadBlocking(dir.path());
    ASSERT_TRUE(space.has_value());
    EXPECT_GT(space->total, 0);
    EXPECT_GE(space->total, space->availableStrict);
    EXPECT_EQ(space->available, space->availableStrict);
    EXPECT_FALSE(space->isStale);
    EXPECT_EQ(SpaceReader::defaultReadBlocking(dir.path() + QStringLiteral("/missing")), std::nullopt);
}
