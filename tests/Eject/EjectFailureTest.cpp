#include "Eject/EjectFailure.h"
#include "Platform/Linux/UDisks2Service.h"

#include "support/Printers.h"
#include "support/PrivateBus.h"
#include "support/TestEnvironment.h"

#include <gtest/gtest.h>

using namespace mallowby;
using namespace mallowby::test;

TEST(EjectFailure, TextsForEveryCase)
{
    struct Row {
        EjectFailure failure;
        const char* explanation;
        const char* summary;
        const char* debug;
    };
    const QList<Row> rows{
        {EjectFailure::notPermitted(), "Another app refused to let the drive eject.", "not permitted", "notPermitted(by: nil)"},
        {EjectFailure::notPermitted(QStringLiteral("Backup")), "Backup refused to let the drive eject.", "not permitted (Backup)",
         "notPermitted(by: Optional(\"Backup\"))"},
        {EjectFailure::other(qint32(0xF8DA0006), QStringLiteral("sdb not found")), "sdb not found. Error 0xF8DA0006",
         "0xF8DA0006 sdb not found", "other(status: -119930874, message: Optional(\"sdb not found\"))"},
        {EjectFailure::other(qint32(0xF8DA0001)), "Error 0xF8DA0001", "0xF8DA0001", "other(status: -119930879, message: nil)"},
        {EjectFailure::other(5), "Error 0x00000005", "0x00000005", "other(status: 5, message: nil)"},
        {EjectFailure::other(qint32(0xDEADBEEF), QStringLiteral("odd")), "odd. Error 0xDEADBEEF", "0xDEADBEEF odd",
         "other(status: -559038737, message: Optional(\"odd\"))"},
    };
    for (const Row& row : rows) {
        EXPECT_EQ(row.failure.explanation(), QString::fromUtf8(row.explanation)) << row.summary;
        EXPECT_EQ(row.failure.summary(), QString::fromUtf8(row.summary));
        EXPECT_EQ(row.failure.debugDescription(), QString::fromUtf8(row.debug)) << row.summary;
    }
}

TEST(UDisks2Service, ErrorsAndDissentsBecomeFailures)
{
    const std::vector<std::pair<std::optional<Dissent>, std::optional<EjectFailure>>> rows{
        {std::nullopt, std::nullopt},
        {Dissent{Dissent::busy, QStringLiteral("dropped")}, EjectFailure::busy()},
        {Dissent{0x0000C010, std::nullopt}, EjectFailure::busy()},
        {Dissent{Dissent::exclusiveAccess, QStringLiteral("x")}, EjectFailure::exclusiveAccess()},
        {Dissent{Dissent::notPermitted, QStringLiteral("polkit")}, EjectFailure::notPermitted(QStringLiteral("polkit"))},
        {Dissent{Dissent::notPermitted, std::nullopt}, EjectFailure::notPermitted()},
        {Dissent{0x0000C011, QStringLiteral("exists")}, EjectFailure::other(0xC011, QStringLiteral("exists"))},
        {Dissent{Dissent::notFound, QStringLiteral("sdz")}, EjectFailure::other(Dissent::notFound, QStringLiteral("sdz"))},
    };
    for (const auto& [dissent, failure] : rows)
        EXPECT_EQ(EjectFailure::from(dissent), failure) << (dissent ? dissent->status : -1);

    EXPECT_EQ(UDisks2Service::dissentOf("org.freedesktop.UDisks2.Error.DeviceBusy", "target is busy").status, Dissent::busy);
    const auto refused = UDisks2Service::dissentOf("org.freedesktop.UDisks2.Error.NotAuthorizedCanObtain", "Not authorized");
    EXPECT_EQ(refused, (Dissent{Dissent::notPermitted, QStringLiteral("Not authorized")}));
    EXPECT_EQ(UDisks2Service::dissentOf("org.freedesktop.DBus.Error.ServiceUnknown", "no"),
              (Dissent{Dissent::unsupported, QStringLiteral("udisks2 is not available")}));
    EXPECT_EQ(UDisks2Service::dissentOf("org.freedesktop.UDisks2.Error.Failed", "Error unmounting: boom"),
              (Dissent{Dissent::unknownError, QStringLiteral("Error unmounting: boom")}));

    EXPECT_EQ(UDisks2Service::dissentOfCommand("umount: /mnt/share: target is busy.\n").status, 0x0000C010);
    EXPECT_EQ(EjectFailure::from(UDisks2Service::dissentOfCommand("fusermount3: failed to unmount /x: Device or resource busy")),
              EjectFailure::busy());
    EXPECT_EQ(UDisks2Service::dissentOfCommand("umount: /mnt/x: not mounted.").status, Dissent::notFound);
    EXPECT_EQ(UDisks2Service::dissentOfCommand(""), (Dissent{Dissent::unknownError, std::nullopt}));
}

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
    EXPECT_EQ(EjectFailure::from(expected)->explanation(), "udisks2 is not available. Error 0xF8DA000A");
}
