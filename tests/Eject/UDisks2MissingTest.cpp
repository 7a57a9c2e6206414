#include "Eject/EjectFailure.h"
#include "Platform/Linux/UDisks2Service.h"

#include "support/TestEnvironment.h"

#include <QDBusConnection>
#include <QProcess>

#include <gtest/gtest.h>

using namespace mallowby;
using mallowby::test::TestEnvironment;

// A bus on which nobody provides udisks2: every request fails clearly, none hangs.
TEST(UDisks2Service, WithoutUdisksEveryRequestSaysSo)
{
    QProcess daemon;
    daemon.start(QStringLiteral("dbus-daemon"), {QStringLiteral("--session"), QStringLiteral("--nofork"), QStringLiteral("--print-address=1")});
    if (!daemon.waitForStarted(5000))
        GTEST_SKIP() << "dbus-daemon is not installed";
    ASSERT_TRUE(daemon.waitForReadyRead(5000));
    const QString address = QString::fromUtf8(daemon.readLine()).trimmed();
    {
        const QDBusConnection bus = QDBusConnection::connectToBus(address, QStringLiteral("no-udisks"));
        ASSERT_TRUE(bus.isConnected());
        UDisks2Service service(bus);
        const Dissent expected{Dissent::unsupported, QStringLiteral("udisks2 is not available")};
        for (auto answer : {TestEnvironment::await(service.unmountDisk(QStringLiteral("sdb"), false)),
                            TestEnvironment::await(service.ejectDisk(QStringLiteral("sdb")))}) {
            ASSERT_TRUE(answer.has_value() && answer->has_value());
            EXPECT_EQ(**answer, expected);
        }
        const auto failure = EjectFailure::from(expected);
        EXPECT_EQ(failure->explanation(), "udisks2 is not available. Error 0xF8DA000A");
    }
    QDBusConnection::disconnectFromBus(QStringLiteral("no-udisks"));
    daemon.kill();
    daemon.waitForFinished();
}
