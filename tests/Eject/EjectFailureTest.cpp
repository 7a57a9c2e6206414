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

    for (const auto& [name, message, dissent] : std::vector<std::tuple<const char*, const char*, Dissent>>{
             {"org.freedesktop.UDisks2.Error.DeviceBusy", "target is busy", {Dissent::busy, "target is busy"}},
             {"org.freedesktop.UDisks2.Error.NotAuthorizedCanObtain", "Not authorized", {Dissent::notPermitted, "Not authorized"}},
             {"org.freedesktop.DBus.Error.ServiceUnknown", "no", {Dissent::unsupported, "udisks2 is not available"}},
             {"org.freedesktop.UDisks2.Error.Failed", "Error unmounting: boom", {Dissent::unknownError, "Error unmounting: boom"}}})
        EXPECT_EQ(UDisks2Service::dissentOf(name, message), dissent) << name;
    // What umount and fusermount print.
    for (const auto& [output, status] : std::vector<std::pair<const char*, qint32>>{
             {"umount: /mnt/share: target is busy.\n", 0x0000C010}, {"fusermount3: failed to unmount /x: Device or resource busy", 0x0000C010},
             {"umount: /mnt/x: not mounted.", Dissent::notFound}, {"", Dissent::unknownError}})
        EXPECT_EQ(UDisks2Service::dissentOfCommand(output).status, status) << output;
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
