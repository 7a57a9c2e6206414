#include "Eject/EjectFailure.h"
#include "Platform/Linux/UDisks2Service.h"

#include "support/Printers.h"
#include "support/PrivateBus.h"
#include "support/TestEnvironment.h"

#include <gtest/gtest.h>

using namespace mallowby;
using namespace mallowby::test;

// udisks2's errors and the commands' output become dissents, dissents become failures with their texts.
TEST(EjectFailure, FromErrorsAndDissentsToTexts)
{
    struct Row {
        std::optional<Dissent> dissent;
        const char* summary;  // "" for no failure
        const char* explanation;
        const char* debug;
    };
    const QList<Row> rows{
        {std::nullopt, "", "", ""},
        {Dissent{Dissent::busy, QStringLiteral("dropped")}, "busy", "Files on the drive are in use.", "busy"},
        {Dissent{0x0000C010, std::nullopt}, "busy", "Files on the drive are in use.", "busy"},
        {Dissent{Dissent::exclusiveAccess, QStringLiteral("x")}, "exclusive access",
         "Another app, such as a disk or partition editor, is using the drive exclusively.", "exclusiveAccess"},
        {Dissent{Dissent::notPermitted, std::nullopt}, "not permitted", "Another app refused to let the drive eject.", "notPermitted(by: nil)"},
        {Dissent{Dissent::notPermitted, QStringLiteral("Backup")}, "not permitted (Backup)", "Backup refused to let the drive eject.",
         "notPermitted(by: Optional(\"Backup\"))"},
        {Dissent{0x0000C011, QStringLiteral("exists")}, "0x0000C011 exists", "exists. Error 0x0000C011", "other(status: 49169, message: Optional(\"exists\"))"},
        {Dissent{Dissent::notFound, QStringLiteral("sdb not found")}, "0xF8DA0006 sdb not found", "sdb not found. Error 0xF8DA0006",
         "other(status: -119930874, message: Optional(\"sdb not found\"))"},
        {Dissent{Dissent::unknownError, std::nullopt}, "0xF8DA0001", "Error 0xF8DA0001", "other(status: -119930879, message: nil)"},
        {Dissent{5, std::nullopt}, "0x00000005", "Error 0x00000005", "other(status: 5, message: nil)"},
    };
    for (const Row& row : rows) {
        const auto failure = EjectFailure::from(row.dissent);
        const QStringList texts = failure ? QStringList{failure->summary(), failure->explanation(), failure->debugDescription()} : QStringList{"", "", ""};
        EXPECT_EQ(texts, (QStringList{row.summary, row.explanation, row.debug}));
    }
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
    for (auto answer : {TestEnvironment::await(service.unmountDisk(QStringLiteral("sdb"), false)),
                        TestEnvironment::await(service.ejectDisk(QStringLiteral("sdb")))})
        EXPECT_EQ(answer, std::optional(std::optional(Dissent{Dissent::unsupported, QStringLiteral("udisks2 is not available")})));
}
