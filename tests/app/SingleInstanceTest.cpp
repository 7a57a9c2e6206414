#include "SingleInstance.h"

#include "support/AppProcess.h"
#include "support/PrivateBus.h"
#include "support/TestEnvironment.h"

#include <QSignalSpy>

#include <gtest/gtest.h>

using namespace mallowby;
using namespace mallowby::test;
using namespace std::chrono_literals;
using Role = SingleInstance::Role;

namespace {

class SingleInstanceTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        if (const auto why = bus.unavailable())
            GTEST_SKIP() << why->toStdString();
    }
    std::optional<Role> claim(SingleInstance& instance) { return TestEnvironment::await(instance.claim(), 10s); }
    LaunchEnvironment launched(const QString& mode = {}) { return LaunchEnvironment(mode.isEmpty() ? QHash<QString, QString>{} : QHash<QString, QString>{{mode, "1"}}); }

    PrivateBus bus;
};

} // namespace

// A dump mode takes nothing; the first plain launch owns the name and a later one reaches it;
// a developer mode runs beside the owner and asks it for nothing.
TEST_F(SingleInstanceTest, TheFirstOwnsTheNameALaterOneReachesItAndOtherModesRunBeside)
{
    SingleInstance dump(bus.connect(), launched("MALLOWBY_DUMP_VOLUMES"));
    EXPECT_EQ(claim(dump), Role::alone);
    EXPECT_FALSE(bus.hasOwner(SingleInstance::serviceName));

    SingleInstance first(bus.connect(), launched()), second(bus.connect(), launched());
    QSignalSpy activated(&first, &SingleInstance::activated);
    EXPECT_EQ(claim(first), Role::primary);
    EXPECT_TRUE(bus.hasOwner(SingleInstance::serviceName));
    EXPECT_EQ(claim(second), Role::secondary);
    EXPECT_EQ(claim(first), Role::primary) << "asking again changes nothing for the owner";
    const auto answer = TestEnvironment::await(second.activateRunning(), 10s);
    ASSERT_TRUE(answer.has_value()) << "no answer in time";
    EXPECT_FALSE(answer->has_value()) << (*answer)->message().toStdString();
    EXPECT_EQ(activated.count(), 1);

    SingleInstance diagnostics(bus.connect(), launched("MALLOWBY_DIAGNOSTICS"));
    bool started = false;
    diagnostics.launch([&] { started = true; });
    EXPECT_TRUE(TestEnvironment::waitUntil([&] { return started; }, 10s));
    EXPECT_EQ(activated.count(), 1);
}

// The program as a user starts it, on one session bus (a second launch handing over: the tray
// walk): a launch after the owner quit owns the name, and a silent owner is an error.
TEST_F(SingleInstanceTest, ALaunchAfterTheOwnerQuitOwnsTheNameAndASilentOwnerIsAnError)
{
    const QList<std::pair<QString, QString>> session{{"DBUS_SESSION_BUS_ADDRESS", bus.address()}};
    const auto owned = [&] { return bus.hasOwner(SingleInstance::serviceName); };
    for (int launch = 0; launch < 2; ++launch) {
        AppProcess app(session);
        ASSERT_TRUE(TestEnvironment::waitUntil(owned, 15s)) << "launch " << launch << " never took the name";
        EXPECT_EQ(app.process().state(), QProcess::Running);
        app.stop();
        ASSERT_TRUE(TestEnvironment::waitUntil([&] { return !owned(); }, 15s));
    }
    QDBusConnection squatter = bus.connect();
    ASSERT_TRUE(squatter.registerService(SingleInstance::serviceName));
    AppProcess silent(session);
    // Spinning the loop, not blocking: the squatter's connection lives in this process.
    ASSERT_TRUE(TestEnvironment::waitUntil([&] { return silent.process().state() == QProcess::NotRunning; }, 20s));
    EXPECT_EQ(silent.process().exitCode(), 1);
    EXPECT_EQ(silent.lines(), QStringList());
    EXPECT_TRUE(QString::fromUtf8(silent.process().readAllStandardError()).contains("did not answer"));
}
