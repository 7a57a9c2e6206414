#include "Volumes/SpaceReader.h"

#include "support/HungMount.h"
#include "support/TestEnvironment.h"

#include <QElapsedTimer>

#include <gtest/gtest.h>

#include <algorithm>

#include <unistd.h>

using namespace mallowby;
using namespace mallowby::test;
using namespace std::chrono_literals;

namespace {

std::optional<Space> readNow(const SpaceReader& reader, const QString& path, qint64* elapsedMs)
{
    QElapsedTimer clock;
    clock.start();
    const auto answer = TestEnvironment::await(reader.read(path), 10s);
    *elapsedMs = clock.elapsed();
    EXPECT_TRUE(answer.has_value()) << "the read never ended";
    return answer.value_or(std::nullopt);
}

// Our children in the given state.
qsizetype childrenIn(char state)
{
    const auto children = childrenOf(::getpid());
    return std::count_if(children.cbegin(), children.cend(),
                         [&](qint64 child) { return threadStates(child).contains(QLatin1Char(state)); });
}

} // namespace

TEST(HungShareRead, OnlyAnAbandonedHelperWaitsOnTheMountAndItsPathStaysBusyUntilItAnswers)
{
    if (const auto missing = HungMount::missing())
        GTEST_SKIP() << missing->toStdString();
    HungMount mount;
    ASSERT_TRUE(mount.isMounted()) << mount.error().toStdString();
    const SpaceReader reader{500ms};

    qint64 ms = 0;
    EXPECT_EQ(readNow(reader, mount.path(), &ms), std::nullopt);
    EXPECT_GE(ms, 490);
    EXPECT_LT(ms, 1500);
    // The helper, killed, still waits in the kernel; no thread of ours does.
    EXPECT_FALSE(threadStates(::getpid()).contains(QLatin1Char('D'))) << threadStates(::getpid()).toStdString();
    EXPECT_EQ(childrenIn('D'), 1);
    EXPECT_TRUE(SpaceReader::isInFlight(mount.path()));

    // Until it answers, the path costs no further helper; other paths are read as usual.
    EXPECT_EQ(readNow(reader, mount.path(), &ms), std::nullopt);
    EXPECT_LT(ms, 100);
    EXPECT_EQ(childrenIn('D'), 1);
    EXPECT_TRUE(readNow(reader, QStringLiteral("/"), &ms).has_value());
    EXPECT_LT(ms, 500);

    // Once the mount answers, the helper finishes dying and is reaped, and the path is free.
    mount.abort();
    EXPECT_TRUE(TestEnvironment::waitUntil([&] { return !SpaceReader::isInFlight(mount.path()); }, 5s));
    EXPECT_TRUE(TestEnvironment::waitUntil([] { return childrenIn('D') == 0 && childrenIn('Z') == 0; }, 2s));
}

TEST(HungShareRead, FiguresPast64BitsAreAFailedReadNotAWrappedNumber)
{
    if (const auto missing = HungMount::missing())
        GTEST_SKIP() << missing->toStdString();
    HungMount mount(HungMount::Statfs::absurd);
    ASSERT_TRUE(mount.isMounted()) << mount.error().toStdString();
    qint64 ms = 0;
    EXPECT_EQ(readNow(SpaceReader{2s}, mount.path(), &ms), std::nullopt);
    EXPECT_LT(ms, 1000);
    EXPECT_FALSE(SpaceReader::isInFlight(mount.path()));
}
