#include "Eject/EjectFailure.h"
#include "Platform/Linux/UDisks2Service.h"

#include "support/PrivateBus.h"
#include "support/TestEnvironment.h"

#include <gtest/gtest.h>

using namespace mallowby;
using mallowby::test::PrivateBus;
using mallowby::test::TestEnvironment;

// A bus on which nobody provides udisks2: every request fails clearly, none hangs.
TEST(UDisks2Service, WithoutUdisksEveryRequestSaysSo)
{
    PrivateBus bus;
    if (const auto why = bus.unavailable())
        GTEST_SKIP() << why->toStdString();
    UDisks2Service service(bus.connect());
    const Dissent expected{Dissent::unsupported, QStringLiteral("udisks2 is not available")};
    for (auto answer : {TestEnvironment::await(service.unmountDisk(QStringLiteral("sdb"), false)),
                        TestEnvironment::await(service.ejectDisk(QStringLiteral("sdb")))}) {
        ASSERT_TRUE(answer.has_value() && answer->has_value());
        EXPECT_EQ(**answer, expected);
    }
    const auto failure = EjectFailure::from(expected);
    EXPECT_EQ(failure->explanation(), "udisks2 is not available. Error 0xF8DA000A");
}
