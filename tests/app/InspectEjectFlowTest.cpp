#include "InspectEjectFlow.h"

#include "Eject/Blocker.h"
#include "Eject/EjectFailure.h"

#include "support/Printers.h"

#include <gtest/gtest.h>

using namespace mallowby;

TEST(InspectEjectFlow, PrintedLines)
{
    EXPECT_EQ(InspectEjectFlow::ejectedLine(true, std::nullopt), "ejected: true -");
    EXPECT_EQ(InspectEjectFlow::ejectedLine(false, EjectFailure::busy()), "ejected: false busy");
    EXPECT_EQ(InspectEjectFlow::ejectedLine(false, EjectFailure::other(Dissent::notFound, QStringLiteral("sdb not found"))),
              "ejected: false other(status: -119930874, message: Optional(\"sdb not found\"))");

    EXPECT_EQ(InspectEjectFlow::scanLine(0, std::chrono::nanoseconds(0)), "scan: 0 processes, 0.0 seconds");
    EXPECT_EQ(InspectEjectFlow::scanLine(81, std::chrono::microseconds(34000)), "scan: 81 processes, 0.034 seconds");
    EXPECT_EQ(InspectEjectFlow::scanLine(3, std::chrono::seconds(2)), "scan: 3 processes, 2.0 seconds");

    EXPECT_EQ(InspectEjectFlow::flushingLine(340'000'000, 27'999'999.6), "flushing: 340000000 bytes left, 28000000 B/s");

    Blocker blocker;
    blocker.pid = 501;
    blocker.processName = QStringLiteral("bash");
    blocker.uses = {{Blocker::Reason::workingDirectory, QStringLiteral("/media/usb")},
                    {Blocker::Reason::openFile, QStringLiteral("/media/usb/a b.txt")}};
    EXPECT_EQ(InspectEjectFlow::blockerLine(blocker),
              "501 bash - false [\"working directory /media/usb\", \"open file /media/usb/a b.txt\"]");
    blocker.app = OwningApp{.pid = 500, .name = QStringLiteral("Terminal")};
    blocker.isAppProcess = true;
    EXPECT_EQ(InspectEjectFlow::blockerLine(blocker).left(23), "501 bash Terminal true ");
    // Quotes, backslashes and line breaks stay one well-formed list.
    blocker.app.reset();
    blocker.isAppProcess = false;
    blocker.uses = {{Blocker::Reason::openFile, QStringLiteral("/media/usb/say \"hi\", \\ bye")},
                    {Blocker::Reason::openFile, QStringLiteral("/media/usb/two\nlines\ttab")}};
    EXPECT_EQ(InspectEjectFlow::blockerLine(blocker),
              "501 bash - false [\"open file /media/usb/say \\\"hi\\\", \\\\ bye\", \"open file /media/usb/two\\nlines\\ttab\"]");
}

TEST(InspectEjectFlow, ShortestDecimalsReadBack)
{
    for (double value : {0.0, 1.0, 0.1, 0.009632254, 1e-7, 123456.789, 1.0 / 3.0}) {
        const QString text = InspectEjectFlow::shortestDecimal(value);
        EXPECT_EQ(text.toDouble(), value) << text.toStdString();
    }
    EXPECT_EQ(InspectEjectFlow::shortestDecimal(0.0), "0.0");
    EXPECT_EQ(InspectEjectFlow::shortestDecimal(0.25), "0.25");
}
