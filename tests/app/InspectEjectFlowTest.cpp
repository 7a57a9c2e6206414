#include "InspectEjectFlow.h"

#include "Eject/Blocker.h"
#include "Eject/EjectFailure.h"

#include <gtest/gtest.h>

using namespace mallowby;

TEST(InspectEjectFlow, PrintedLines)
{
    const Blocker shell{.pid = 501, .processName = "bash", .app = std::nullopt,
                        .uses = {{Blocker::Reason::workingDirectory, "/media/usb"}, {Blocker::Reason::openFile, "/media/usb/a b.txt"}}};
    Blocker app = shell, odd = shell;
    app.app = OwningApp{.pid = 500, .name = "Terminal"};
    app.isAppProcess = true;
    // Quotes, backslashes and line breaks stay one well-formed list.
    odd.uses = {{Blocker::Reason::openFile, "/media/usb/say \"hi\", \\ bye"}, {Blocker::Reason::openFile, "/media/usb/two\nlines\ttab"}};
    const std::vector<std::pair<QString, QString>> rows{
        {InspectEjectFlow::ejectedLine(true, std::nullopt), "ejected: true -"},
        {InspectEjectFlow::ejectedLine(false, EjectFailure::busy()), "ejected: false busy"},
        {InspectEjectFlow::ejectedLine(false, EjectFailure::other(Dissent::notFound, "sdb not found")),
         "ejected: false other(status: -119930874, message: Optional(\"sdb not found\"))"},
        {InspectEjectFlow::scanLine(81, std::chrono::microseconds(34000)), "scan: 81 processes, 0.034 seconds"},
        {InspectEjectFlow::scanLine(3, std::chrono::seconds(2)), "scan: 3 processes, 2.0 seconds"},
        {InspectEjectFlow::flushingLine(340'000'000, 27'999'999.6), "flushing: 340000000 bytes left, 28000000 B/s"},
        {InspectEjectFlow::blockerLine(shell), "501 bash - false [\"working directory /media/usb\", \"open file /media/usb/a b.txt\"]"},
        {InspectEjectFlow::blockerLine(app).left(23), "501 bash Terminal true "},
        {InspectEjectFlow::blockerLine(odd), "501 bash - false [\"open file /media/usb/say \\\"hi\\\", \\\\ bye\", \"open file /media/usb/two\\nlines\\ttab\"]"},
        {InspectEjectFlow::shortestDecimal(0.25), "0.25"},
    };
    for (const auto& [printed, expected] : rows)
        EXPECT_EQ(printed, expected);
    for (double value : {0.0, 1.0, 0.1, 0.009632254, 1e-7, 123456.789, 1.0 / 3.0})
        EXPECT_EQ(InspectEjectFlow::shortestDecimal(value).toDouble(), value) << "reads back";
}
