#include "TerminationSignals.h"

#include "support/TestEnvironment.h"

#include <gtest/gtest.h>

#include <csignal>

using namespace mallowby;
using mallowby::test::TestEnvironment;
using namespace std::chrono_literals;

TEST(TerminationSignals, EachStopSignalArrivesOnTheEventLoop)
{
    QList<int> received;
    const TerminationSignals stop({SIGTERM, SIGINT, SIGHUP}, [&](int signal) { received.append(signal); });
    for (int signal : {SIGTERM, SIGINT, SIGHUP})
        ::raise(signal);
    // Nothing runs inside the handler: the calls come from the loop.
    EXPECT_TRUE(received.isEmpty());
    EXPECT_TRUE(TestEnvironment::waitUntil([&] { return received.size() == 3; }, 2s));
    EXPECT_EQ(received, (QList<int>{SIGTERM, SIGINT, SIGHUP}));
}

TEST(TerminationSignalsDeathTest, ASecondSignalEndsAProcessWhoseLoopDoesNotAnswer)
{
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    EXPECT_EXIT(
        {
            const TerminationSignals stop({SIGTERM}, [](int) {});
            ::raise(SIGTERM);
            ::raise(SIGTERM);
            std::exit(0);
        },
        ::testing::KilledBySignal(SIGTERM), "");
}
