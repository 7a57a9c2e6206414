#include "Eject/EjectFailure.h"
#include "Platform/Linux/UDisks2Service.h"

#include "support/Printers.h"

#include <gtest/gtest.h>

using namespace mallowby;

TEST(EjectFailure, TextsForEveryCase)
{
    struct Row {
        EjectFailure failure;
        const char* explanation;
        const char* summary;
        const char* debug;
    };
    const QList<Row> rows{
        {EjectFailure::busy(), "Files on the drive are in use.", "busy", "busy"},
        {EjectFailure::exclusiveAccess(), "Another app, such as a disk or partition editor, is using the drive exclusively.",
         "exclusive access", "exclusiveAccess"},
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
        EXPECT_EQ(row.failure.explanation(), QString::fromUtf8(row.explanation));
        EXPECT_EQ(row.failure.summary(), QString::fromUtf8(row.summary));
        EXPECT_EQ(row.failure.debugDescription(), QString::fromUtf8(row.debug));
    }
}

TEST(EjectFailure, FromADissent)
{
    EXPECT_EQ(EjectFailure::from(std::nullopt), std::nullopt);
    EXPECT_EQ(EjectFailure::from(Dissent{Dissent::busy, QStringLiteral("dropped")}), EjectFailure::busy());
    EXPECT_EQ(EjectFailure::from(Dissent{0x0000C010, std::nullopt}), EjectFailure::busy());
    EXPECT_EQ(EjectFailure::from(Dissent{Dissent::exclusiveAccess, QStringLiteral("x")}), EjectFailure::exclusiveAccess());
    EXPECT_EQ(EjectFailure::from(Dissent{Dissent::notPermitted, QStringLiteral("polkit")}),
              EjectFailure::notPermitted(QStringLiteral("polkit")));
    EXPECT_EQ(EjectFailure::from(Dissent{Dissent::notPermitted, std::nullopt}), EjectFailure::notPermitted());
    EXPECT_EQ(EjectFailure::from(Dissent{0x0000C011, QStringLiteral("exists")}), EjectFailure::other(0xC011, QStringLiteral("exists")));
    EXPECT_EQ(EjectFailure::from(Dissent{Dissent::notFound, QStringLiteral("sdz not found")}),
              EjectFailure::other(Dissent::notFound, QStringLiteral("sdz not found")));
}

TEST(UDisks2Service, ErrorsBecomeDissents)
{
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
