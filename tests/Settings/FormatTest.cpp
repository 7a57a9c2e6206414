#include "Settings/Format.h"

#include "support/Printers.h"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>

using namespace mallowby;

namespace {

constexpr ByteUnits decimal = ByteUnits::decimal;
constexpr ByteUnits binary = ByteUnits::binary;

} // namespace

TEST(Format, OneDecimalRoundsHalfAwayFromZeroInTenths)
{
    EXPECT_EQ(Format::oneDecimal(9.96), "10.0");
    EXPECT_EQ(Format::oneDecimal(1.04), "1.0");
    EXPECT_EQ(Format::oneDecimal(0.04), "0.0");
    EXPECT_EQ(Format::oneDecimal(0.05), "0.1");
    EXPECT_EQ(Format::oneDecimal(12.34), "12.3");
    EXPECT_EQ(Format::oneDecimal(0.0), "0.0");
    // No caller passes negatives, but they must not come out as "-1.-3".
    EXPECT_EQ(Format::oneDecimal(-1.25), "-1.3");
    EXPECT_EQ(Format::oneDecimal(-0.04), "0.0");
    EXPECT_EQ(Format::oneDecimal(1e300), "∞");
    EXPECT_EQ(Format::oneDecimal(std::nan("")), "0.0");
}

TEST(Format, BytesStepUpAtNineHundredNinetyNinePointFiveInBothUnits)
{
    EXPECT_EQ(Format::bytes(0, decimal), "0 B");
    EXPECT_EQ(Format::bytes(999, decimal), "999 B");
    EXPECT_EQ(Format::bytes(1000, decimal), "1.0 KB");
    EXPECT_EQ(Format::bytes(999, binary), "999 B");
    EXPECT_EQ(Format::bytes(1000, binary), "1.0 KiB");  // 0.98 KiB: never "1000 B"
    EXPECT_EQ(Format::bytes(1024, binary), "1.0 KiB");
    EXPECT_EQ(Format::bytes(999'499, decimal), "999 KB");
    EXPECT_EQ(Format::bytes(999'500, decimal), "1.0 MB");
    EXPECT_EQ(Format::bytes(1'023'487, binary), "999 KiB");  // 999.499 KiB
    EXPECT_EQ(Format::bytes(1'023'488, binary), "1.0 MiB");  // 999.5 KiB
    EXPECT_EQ(Format::rate(999.4, decimal), "999 B/s");
    EXPECT_EQ(Format::rate(999.5, decimal), "1.0 KB/s");
    EXPECT_EQ(Format::rate(999.5, binary), "1.0 KiB/s");
}

TEST(Format, BytesKeepOneDecimalBelowNinetyNinePointNineFive)
{
    EXPECT_EQ(Format::bytes(1'500'000, decimal), "1.5 MB");
    EXPECT_EQ(Format::bytes(1'500'000'000, decimal), "1.5 GB");
    EXPECT_EQ(Format::bytes(1'500'000'000, binary), "1.4 GiB");
    EXPECT_EQ(Format::bytes(123'000'000'000, decimal), "123 GB");
    EXPECT_EQ(Format::bytes(99'949'999, decimal), "99.9 MB");
    EXPECT_EQ(Format::bytes(99'950'000, decimal), "100 MB");
    EXPECT_EQ(Format::bytes(99'960'000, decimal), "100 MB");
    EXPECT_EQ(Format::bytes(102'348, binary), "99.9 KiB");  // 99.949 KiB
    EXPECT_EQ(Format::bytes(102'349, binary), "100 KiB");   // 99.950 KiB
    EXPECT_EQ(Format::rate(47'919'923.2, binary), "45.7 MiB/s");
    EXPECT_EQ(Format::rate(1'234'000, decimal), "1.2 MB/s");
}

TEST(Format, TheTopUnitTakesWhateverIsLeft)
{
    constexpr qint64 largest = std::numeric_limits<qint64>::max();
    EXPECT_EQ(Format::bytes(1'500'000'000'000'000'000, decimal), "1500 PB");
    EXPECT_EQ(Format::bytes(largest, decimal), "9223 PB");
    EXPECT_EQ(Format::bytes(largest, binary), "8192 PiB");
    EXPECT_EQ(Format::decimalBytes(5'000'000'000'000'000), "5000 TB");
    EXPECT_EQ(Format::decimalBytes(std::numeric_limits<quint64>::max()), "18446744 TB");
    EXPECT_EQ(Format::decimalBytes(999'500), "1.0 MB");
    EXPECT_EQ(Format::decimalBytes(0), "0 B");
    EXPECT_EQ(Format::decimalBytes(1'500'000'000), "1.5 GB");
}

TEST(Format, NegativeAndMeaninglessAmountsReadAsZero)
{
    EXPECT_EQ(Format::bytes(-5, decimal), "0 B");
    EXPECT_EQ(Format::bytes(std::numeric_limits<qint64>::min(), binary), "0 B");
    EXPECT_EQ(Format::rate(-3.0, decimal), "0 B/s");
    EXPECT_EQ(Format::rate(0.4, decimal), "0 B/s");
    EXPECT_EQ(Format::rate(512, binary), "512 B/s");
    EXPECT_EQ(Format::rate(std::nan(""), decimal), "0 B/s");
    EXPECT_EQ(Format::spoken(-1, decimal, false), "0 bytes");
    // Not finite: no caller produces it; it must still give a text, not garbage digits.
    EXPECT_EQ(Format::rate(std::numeric_limits<double>::infinity(), decimal), "∞ PB/s");
}

TEST(Format, PercentRoundsAndClamps)
{
    EXPECT_EQ(Format::percent(0.456), "46%");
    EXPECT_EQ(Format::percent(0.995), "100%");
    EXPECT_EQ(Format::percent(0.9949), "99%");
    EXPECT_EQ(Format::percent(0.005), "1%");
    EXPECT_EQ(Format::percent(0.004), "0%");
    EXPECT_EQ(Format::percent(-0.2), "0%");
    EXPECT_EQ(Format::percent(-std::numeric_limits<double>::infinity()), "0%");
    EXPECT_EQ(Format::percent(1.0), "100%");
    EXPECT_EQ(Format::percent(1.7), "100%");
    EXPECT_EQ(Format::percent(std::nan("")), "100%");
}

TEST(Format, CompactHasOneDecimalOnlyBelowNinePointNineFive)
{
    EXPECT_EQ(Format::compact(0.49, decimal), "0");
    EXPECT_EQ(Format::compact(0.5, decimal), "1B");
    EXPECT_EQ(Format::compact(-3, decimal), "0");
    EXPECT_EQ(Format::compact(std::nan(""), decimal), "0");
    EXPECT_EQ(Format::compact(512, decimal), "512B");
    EXPECT_EQ(Format::compact(999.4, decimal), "999B");
    EXPECT_EQ(Format::compact(999.5, decimal), "1.0K");
    EXPECT_EQ(Format::compact(1'500'000, decimal), "1.5M");
    EXPECT_EQ(Format::compact(9'949'999, decimal), "9.9M");
    EXPECT_EQ(Format::compact(9'950'000, decimal), "10M");
    EXPECT_EQ(Format::compact(123'000'000, decimal), "123M");
    EXPECT_EQ(Format::compact(12'000'000'000, decimal), "12G");
    EXPECT_EQ(Format::compact(999'499, decimal), "999K");
    EXPECT_EQ(Format::compact(999'500, decimal), "1.0M");
    EXPECT_EQ(Format::compact(1.5e18, decimal), "1500P");
}

TEST(Format, CompactInBinaryUnits)
{
    EXPECT_EQ(Format::compact(999, binary), "999B");
    EXPECT_EQ(Format::compact(1000, binary), "1.0K");
    EXPECT_EQ(Format::compact(10'188, binary), "9.9K");  // 9.949 K
    EXPECT_EQ(Format::compact(10'189, binary), "10K");   // 9.950 K
    EXPECT_EQ(Format::compact(1'023'487, binary), "999K");
    EXPECT_EQ(Format::compact(1'023'488, binary), "1.0M");
    EXPECT_EQ(Format::compact(1.5 * 1024 * 1024 * 1024, binary), "1.5G");
}

TEST(Format, SpokenUsesThePluralWordAlways)
{
    EXPECT_EQ(Format::spoken(1, decimal, false), "1 bytes");
    EXPECT_EQ(Format::spoken(0, decimal, true), "0 bytes per second");
    EXPECT_EQ(Format::spoken(1'500'000, decimal, true), "1.5 megabytes per second");
    EXPECT_EQ(Format::spoken(999.5, decimal, false), "1.0 kilobytes");
    EXPECT_EQ(Format::spoken(99'949'999, decimal, false), "99.9 megabytes");
    EXPECT_EQ(Format::spoken(99'950'000, decimal, false), "100 megabytes");
    EXPECT_EQ(Format::spoken(1.5 * 1024 * 1024 * 1024, binary, false), "1.5 gigabytes");
    EXPECT_EQ(Format::spoken(102'349, binary, true), "100 kilobytes per second");
    EXPECT_EQ(Format::spoken(2e18, decimal, false), "2000 petabytes");
}

TEST(Format, ScaledWithShortOrEmptyLadders)
{
    const QStringList two{"B", "KB"};
    EXPECT_EQ(Format::scaled(1'500'000, two, 1000), std::make_pair(QString("1500"), QString("KB")));
    EXPECT_EQ(Format::scaled(1'500, two, 1000), std::make_pair(QString("1.5"), QString("KB")));
    EXPECT_EQ(Format::scaled(1'500, QStringList{"B"}, 1000), std::make_pair(QString("1500"), QString("B")));
    EXPECT_EQ(Format::scaled(1'500, QStringList{}, 1000), std::make_pair(QString("1500"), QString()));
}
