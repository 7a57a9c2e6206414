#include "Settings/Format.h"

#include "support/Printers.h"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>

using namespace mallowby;

TEST(Format, EveryTextAtItsBoundaries)
{
    constexpr ByteUnits dec = ByteUnits::decimal, bin = ByteUnits::binary;
    constexpr qint64 largest = std::numeric_limits<qint64>::max();
    const double nan = std::nan(""), inf = std::numeric_limits<double>::infinity();
    const struct { const char* name; QString got, want; } rows[] = {
        {"oneDecimal 9.96", Format::oneDecimal(9.96), "10.0"}, {"oneDecimal 0.04", Format::oneDecimal(0.04), "0.0"},
        {"oneDecimal 0.05", Format::oneDecimal(0.05), "0.1"}, {"oneDecimal -1.25", Format::oneDecimal(-1.25), "-1.3"},
        {"oneDecimal -0.04", Format::oneDecimal(-0.04), "0.0"}, {"oneDecimal 1e300", Format::oneDecimal(1e300), "∞"},
        {"oneDecimal nan", Format::oneDecimal(nan), "0.0"},
        {"bytes 999 dec", Format::bytes(999, dec), "999 B"}, {"bytes 1000 dec", Format::bytes(1000, dec), "1.0 KB"},
        {"bytes 1000 bin", Format::bytes(1000, bin), "1.0 KiB"},  // 0.98 KiB: never "1000 B"
        {"bytes 999'499 dec", Format::bytes(999'499, dec), "999 KB"},
        {"bytes 999'500 dec", Format::bytes(999'500, dec), "1.0 MB"},
        {"bytes 1'023'487 bin", Format::bytes(1'023'487, bin), "999 KiB"},
        {"bytes 1'023'488 bin", Format::bytes(1'023'488, bin), "1.0 MiB"},
        {"bytes 1.5e9 bin", Format::bytes(1'500'000'000, bin), "1.4 GiB"},
        {"bytes 99'949'999 dec", Format::bytes(99'949'999, dec), "99.9 MB"},
        {"bytes 99'950'000 dec", Format::bytes(99'950'000, dec), "100 MB"},
        {"bytes 102'348 bin", Format::bytes(102'348, bin), "99.9 KiB"},
        {"bytes 102'349 bin", Format::bytes(102'349, bin), "100 KiB"},
        {"bytes 1.5e18 dec", Format::bytes(1'500'000'000'000'000'000, dec), "1500 PB"},
        {"bytes max dec", Format::bytes(largest, dec), "9223 PB"}, {"bytes max bin", Format::bytes(largest, bin), "8192 PiB"},
        {"bytes -5", Format::bytes(-5, dec), "0 B"},
        {"bytes min", Format::bytes(std::numeric_limits<qint64>::min(), bin), "0 B"},
        {"decimalBytes 5e15", Format::decimalBytes(5'000'000'000'000'000), "5000 TB"},
        {"decimalBytes max", Format::decimalBytes(std::numeric_limits<quint64>::max()), "18446744 TB"},
        {"decimalBytes 999'500", Format::decimalBytes(999'500), "1.0 MB"},
        {"rate 999.4", Format::rate(999.4, dec), "999 B/s"}, {"rate 999.5 bin", Format::rate(999.5, bin), "1.0 KiB/s"},
        {"rate 47.9e6 bin", Format::rate(47'919'923.2, bin), "45.7 MiB/s"}, {"rate 0.4", Format::rate(0.4, dec), "0 B/s"},
        {"rate -3", Format::rate(-3.0, dec), "0 B/s"}, {"rate nan", Format::rate(nan, dec), "0 B/s"},
        {"rate inf", Format::rate(inf, dec), "∞ PB/s"},
        {"percent 0.456", Format::percent(0.456), "46%"}, {"percent 0.995", Format::percent(0.995), "100%"},
        {"percent 0.9949", Format::percent(0.9949), "99%"}, {"percent 0.005", Format::percent(0.005), "1%"},
        {"percent 0.004", Format::percent(0.004), "0%"}, {"percent -inf", Format::percent(-inf), "0%"},
        {"percent 1.7", Format::percent(1.7), "100%"}, {"percent nan", Format::percent(nan), "100%"},
        {"compact 0.49", Format::compact(0.49, dec), "0"}, {"compact 0.5", Format::compact(0.5, dec), "1B"},
        {"compact -3", Format::compact(-3, dec), "0"}, {"compact nan", Format::compact(nan, dec), "0"},
        {"compact 999.4", Format::compact(999.4, dec), "999B"}, {"compact 999.5", Format::compact(999.5, dec), "1.0K"},
        {"compact 9'949'999", Format::compact(9'949'999, dec), "9.9M"},
        {"compact 9'950'000", Format::compact(9'950'000, dec), "10M"},
        {"compact 999'499", Format::compact(999'499, dec), "999K"}, {"compact 1.5e18", Format::compact(1.5e18, dec), "1500P"},
        {"compact 1000 bin", Format::compact(1000, bin), "1.0K"}, {"compact 10'188 bin", Format::compact(10'188, bin), "9.9K"},
        {"compact 10'189 bin", Format::compact(10'189, bin), "10K"},
        {"compact 1'023'488 bin", Format::compact(1'023'488, bin), "1.0M"},
        {"spoken 1", Format::spoken(1, dec, false), "1 bytes"}, {"spoken -1", Format::spoken(-1, dec, false), "0 bytes"},
        {"spoken 1.5e6/s", Format::spoken(1'500'000, dec, true), "1.5 megabytes per second"},
        {"spoken 99'950'000", Format::spoken(99'950'000, dec, false), "100 megabytes"},
        {"spoken 1.5 GiB", Format::spoken(1.5 * 1024 * 1024 * 1024, bin, false), "1.5 gigabytes"},
        {"spoken 2e18", Format::spoken(2e18, dec, false), "2000 petabytes"},
    };
    for (const auto& row : rows)
        EXPECT_EQ(row.got, row.want) << row.name;

    // Ladders shorter than the amount needs end at their last unit.
    const QStringList two{"B", "KB"};
    EXPECT_EQ(Format::scaled(1'500'000, two, 1000), std::make_pair(QString("1500"), QString("KB")));
    EXPECT_EQ(Format::scaled(1'500, QStringList{"B"}, 1000), std::make_pair(QString("1500"), QString("B")));
    EXPECT_EQ(Format::scaled(1'500, QStringList{}, 1000), std::make_pair(QString("1500"), QString()));
}
