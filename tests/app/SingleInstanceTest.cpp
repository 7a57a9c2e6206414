#include "SingleInstance.h"

#include "support/AppProcess.h"
#include "support/PrivateBus.h"
#include "support/TestEnvironment.h"

#include <QDBusConnectionInterface>
#include <QSignalSpy>

#include <gtest/gtest.h>

using namespace mallowby;
using namespace mallowby::test;
using namespace std::chrono_literals;
using Role = SingleInstance::Role;

namespace {

const LaunchEnvironment plain{QHash<QString, QString>{}};

class SingleInstanceTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        if (const auto why = bus.unavailable())
            GTEST_SKIP() << why->toStdString();
    }
    std::optional<Role> claim(SingleInstance& instance) { return TestEnvironment::await(instance.claim(), 10s); }

    PrivateBus bus;
};

} // namespace

TEST_F(SingleInstanceTest, TheFirstOwnsTheNameAndALaterOneReachesIt)
{
    SingleInstance first(bus.connect(), plain);
    SingleInstance second(bus.connect(), plain);
    QSignalSpy activated(&first, &SingleInstance::activated);

    EXPECT_EQ(claim(first), Role::primary);
    EXPECT_TRUE(bus.hasOwner(SingleInstance::serviceName));
    EXPECT_EQ(claim(second), Role::secondary);
    // Asking again changes nothing for the owner.
    EXPECT_EQ(claim(first), Role::primary);

    const auto answer = TestEnvironment::await(second.activateRunning(), 10s);
    ASSERT_TRUE(answer.has_value()) << "no answer in time";
    EXPECT_FALSE(answer->has_value()) << (*answer)->message().toStdString();
    EXPECT_EQ(activated.count(), 1);
}

TEST_F(SingleInstanceTest, DeveloperModesRunBesideARunningInstanceAndDumpModesLeaveTheNameAlone)
{
    // A dump mode takes nothing: the next plain launch still becomes the owner.
    SingleInstance dump(bus.connect(), LaunchEnvironment({{QStringLiteral("MALLOWBY_DUMP_VOLUMES"), QString()}}));
    EXPECT_EQ(claim(dump), Role::alone);
    EXPECT_FALSE(bus.hasOwner(SingleInstance::serviceName));

    SingleInstance first(bus.connect(), plain);
    EXPECT_EQ(claim(first), Role::primary);
    QSignalSpy activated(&first, &SingleInstance::activated);

    // With the name taken, a developer mode starts anyway and asks the owner for nothing.
    SingleInstance diagnostics(bus.connect(), LaunchEnvironment({{QStringLiteral("MALLOWBY_DIAGNOSTICS"), QStringLiteral("1")}}));
    bool started = false;
    diagnostics.launch([&] { started = true; });
    EXPECT_TRUE(TestEnvironment::waitUntil([&] { return started; }, 10s));
    EXPECT_EQ(activated.count(), 0);
}

TEST(SingleInstance, WithoutASessionBusEveryLaunchRuns)
{
    SingleInstance instance(QDBusConnection(QStringLiteral("no-such-connection")), plain);
    EXPECT_EQ(TestEnvironment::await(instance.claim(), 5s), Role::alone);
    bool started = false;
    instance.launch([&] { started = true; });
    EXPECT_TRUE(TestEnvironment::waitUntil([&] { return started; }, 5s));
}

// The program as a user starts it, twice on one session bus.
TEST_F(SingleInstanceTest, ASecondLaunchHandsOverAndExitsZeroAndASilentOwnerIsAnError)
{
    const QList<std::pair<QString, QString>> session{{QStringLiteral("DBUS_SESSION_BUS_ADDRESS"), bus.address()}};
    AppProcess first(session);
    ASSERT_TRUE(TestEnvironment::waitUntil([&] { return bus.hasOwner(SingleInstance::serviceName); }, 15s))
        << "the first launch never took the name";

    AppProcess second(session);
    ASSERT_TRUE(second.process().waitForFinished(15000));
    EXPECT_EQ(second.process().exitStatus(), QProcess::NormalExit);
    EXPECT_EQ(second.process().exitCode(), 0);
    EXPECT_EQ(second.lines(), QStringList{SingleInstance::handedOverLine});
    EXPECT_EQ(first.process().state(), QProcess::Running);

    // Once the first has quit, the next launch owns the name itself.
    first.stop();
    AppProcess third(session);
    ASSERT_TRUE(TestEnvironment::waitUntil([&] { return bus.hasOwner(SingleInstance::serviceName); }, 15s));
    EXPECT_FALSE(third.process().waitForFinished(1000)) << "the third launch ended instead of running";
    third.stop();
    ASSERT_TRUE(TestEnvironment::waitUntil([&] { return !bus.hasOwner(SingleInstance::serviceName); }, 15s));

    // A name owner that does not answer is not a hand-over.
    QDBusConnection squatter = bus.connect();
    ASSERT_TRUE(squatter.registerService(SingleInstance::serviceName));
    AppProcess fourth(session);
    // Spinning the loop here, not blocking in waitForFinished(): the squatter's connection lives in
    // this process.
    ASSERT_TRUE(TestEnvironment::waitUntil([&] { return fourth.process().state() == QProcess::NotRunning; }, 20s));
    EXPECT_EQ(fourth.process().exitCode(), 1);
    EXPECT_EQ(fourth.lines(), QStringList());
    EXPECT_TRUE(QString::fromUtf8(fourth.process().readAllStandardError()).contains(QStringLiteral("did not answer")));
}
