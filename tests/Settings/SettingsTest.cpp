#include "Settings/Accent.h"
#include "Settings/Format.h"
#include "Settings/LowSpaceThreshold.h"
#include "Settings/MenuBarStyle.h"
#include "Settings/Preferences.h"

#include "support/Printers.h"

#include <QFile>
#include <QSettings>
#include <QSignalSpy>
#include <QTemporaryDir>

#include <gtest/gtest.h>

#include <cmath>
#include <limits>

using namespace mallowby;

TEST(Format, EveryTextAtItsBoundaries)
{
    constexpr ByteUnits dec = ByteUnits::decimal, bin = ByteUnits::binary;
    const double nan = std::nan(""), inf = std::numeric_limits<double>::infinity(), max = double(std::numeric_limits<qint64>::max());
    const auto text = [](const std::string& how, double value, ByteUnits units) {
        if (how == "bytes")
            return Format::bytes(value >= 0x1p63 ? std::numeric_limits<qint64>::max() : value <= -0x1p63 ? std::numeric_limits<qint64>::min() : qint64(value), units);
        if (how == "rate")
            return Format::rate(value, units);
        if (how == "compact")
            return Format::compact(value, units);
        if (how == "spoken")
            return Format::spoken(value, units, false);
        if (how == "spoken/s")
            return Format::spoken(value, units, true);
        if (how == "percent")
            return Format::percent(value);
        if (how == "decimalBytes")
            return Format::decimalBytes(value >= 0x1p64 ? std::numeric_limits<quint64>::max() : quint64(value));
        return Format::oneDecimal(value);
    };
    const struct { const char* how; double value; ByteUnits units; const char* want; } rows[] = {
        {"oneDecimal", 9.96, dec, "10.0"}, {"oneDecimal", 0.04, dec, "0.0"}, {"oneDecimal", 0.05, dec, "0.1"},
        {"oneDecimal", -1.25, dec, "-1.3"}, {"oneDecimal", -0.04, dec, "0.0"}, {"oneDecimal", 1e300, dec, "∞"},
        {"oneDecimal", nan, dec, "0.0"},
        {"bytes", 999, dec, "999 B"}, {"bytes", 1000, dec, "1.0 KB"}, {"bytes", 1000, bin, "1.0 KiB"},  // 0.98 KiB: never "1000 B"
        {"bytes", 999'499, dec, "999 KB"}, {"bytes", 999'500, dec, "1.0 MB"}, {"bytes", 1'023'487, bin, "999 KiB"},
        {"bytes", 1'023'488, bin, "1.0 MiB"}, {"bytes", 1.5e9, bin, "1.4 GiB"}, {"bytes", 99'949'999, dec, "99.9 MB"},
        {"bytes", 99'950'000, dec, "100 MB"}, {"bytes", 102'348, bin, "99.9 KiB"}, {"bytes", 102'349, bin, "100 KiB"},
        {"bytes", 1.5e18, dec, "1500 PB"}, {"bytes", max, dec, "9223 PB"}, {"bytes", max, bin, "8192 PiB"},
        {"bytes", -5, dec, "0 B"}, {"bytes", -max, bin, "0 B"},
        {"decimalBytes", 5e15, dec, "5000 TB"}, {"decimalBytes", 0x1p64, dec, "18446744 TB"}, {"decimalBytes", 999'500, dec, "1.0 MB"},
        {"rate", 999.4, dec, "999 B/s"}, {"rate", 999.5, bin, "1.0 KiB/s"}, {"rate", 47'919'923.2, bin, "45.7 MiB/s"},
        {"rate", 0.4, dec, "0 B/s"}, {"rate", -3, dec, "0 B/s"}, {"rate", nan, dec, "0 B/s"}, {"rate", inf, dec, "∞ PB/s"},
        {"percent", 0.456, dec, "46%"}, {"percent", 0.995, dec, "100%"}, {"percent", 0.9949, dec, "99%"},
        {"percent", 0.005, dec, "1%"}, {"percent", 0.004, dec, "0%"}, {"percent", -inf, dec, "0%"},
        {"percent", 1.7, dec, "100%"}, {"percent", nan, dec, "100%"},
        {"compact", 0.49, dec, "0"}, {"compact", 0.5, dec, "1B"}, {"compact", -3, dec, "0"}, {"compact", nan, dec, "0"},
        {"compact", 999.4, dec, "999B"}, {"compact", 999.5, dec, "1.0K"}, {"compact", 9'949'999, dec, "9.9M"},
        {"compact", 9'950'000, dec, "10M"}, {"compact", 999'499, dec, "999K"}, {"compact", 1.5e18, dec, "1500P"},
        {"compact", 1000, bin, "1.0K"}, {"compact", 10'188, bin, "9.9K"}, {"compact", 10'189, bin, "10K"},
        {"compact", 1'023'488, bin, "1.0M"},
        {"spoken", 1, dec, "1 bytes"}, {"spoken", -1, dec, "0 bytes"}, {"spoken/s", 1'500'000, dec, "1.5 megabytes per second"},
        {"spoken", 99'950'000, dec, "100 megabytes"}, {"spoken", 1.5 * (1 << 30), bin, "1.5 gigabytes"}, {"spoken", 2e18, dec, "2000 petabytes"},
    };
    for (const auto& row : rows)
        EXPECT_EQ(text(row.how, row.value, row.units), row.want) << row.how << ' ' << row.value << (row.units == bin ? " binary" : "");
    // Ladders shorter than the amount needs end at their last unit.
    using Scaled = std::pair<QString, QString>;
    EXPECT_EQ(QList<Scaled>({Format::scaled(1'500'000, {"B", "KB"}, 1000), Format::scaled(1'500, {"B"}, 1000), Format::scaled(1'500, {}, 1000)}),
              QList<Scaled>({{"1500", "KB"}, {"1500", "B"}, {"1500", ""}}));
}

TEST(SettingValues, MenuBarStyleResolvedAndReserved)
{
    using S = MenuBarStyle;
    // resolved(hasVolume, duringTransfers, transferring) for icon, space, activity, spaceActivity:
    // activity takes over a running transfer when asked; without a volume the space figure goes.
    const struct { bool hasVolume, duringTransfers, transferring; QList<S> want; } rows[] = {
        {true, true, true, {S::activity, S::activity, S::activity, S::spaceActivity}},
        {false, true, true, {S::activity, S::activity, S::activity, S::activity}},
        {true, false, true, {S::icon, S::space, S::activity, S::spaceActivity}},
        {false, false, true, {S::icon, S::icon, S::activity, S::activity}},
        {false, true, false, {S::icon, S::icon, S::activity, S::activity}},
    };
    for (const auto& row : rows)
        for (int i = 0; i < 4; ++i)
            EXPECT_EQ(S::allCases()[i].resolved(row.hasVolume, row.duringTransfers, row.transferring), row.want[i])
                << i << row.hasVolume << row.duringTransfers << row.transferring;
    EXPECT_EQ(S(S::space).reserved(true), (QList<S>{S::space, S::icon, S::activity}));
    EXPECT_EQ(S(S::spaceActivity).reserved(false), (QList<S>{S::spaceActivity, S::activity}));
    for (S style : S::allCases())
        for (int bits = 0; bits < 8; ++bits)
            EXPECT_TRUE(style.reserved(bits & 1).contains(style.resolved(bits & 2, bits & 1, bits & 4))) << style.rawValue().toStdString() << bits;
    for (S style : S::allCases())
        EXPECT_EQ(S::fromRawValue(style.rawValue()), style);
    for (Accent accent : Accent::allCases())
        EXPECT_EQ(Accent::fromRawValue(accent.rawValue()), accent);
    // The write trace contrasts with every accent, magenta's own included; only "system" takes the desktop's colour.
    const Accent::Color chosen{0.5, 0.1, 0.9};
    EXPECT_EQ(std::make_pair(Accent(Accent::system).color(chosen), Accent(Accent::system).color()), std::make_pair(chosen, Accent::fallbackSystemColor));
    EXPECT_EQ(Accent(Accent::amber).color(chosen), Accent(Accent::amber).color());
    for (Accent accent : Accent::allCases())
        EXPECT_EQ(accent.writeColor(), Accent(accent == Accent::magenta ? Accent::cyan : Accent::magenta).color()) << accent.rawValue().toStdString();
}

TEST(SettingValues, LowSpaceThresholdParsingLowAndClear)
{
    const QList<std::pair<QString, std::string>> parsed{
        {"percent:10", "percent:10"}, {"gigabytes:50", "gigabytes:50"}, {"percent:101", "percent:100"}, {"percent:+7", "percent:7"},
        {"percent:007", "percent:7"}, {":percent::10:", "percent:10"}, {"gigabytes:9223372036854775807", "gigabytes:9223372036854775807"},
        {"percent:0", "none"}, {"percent:-5", "none"}, {"percent:", "none"}, {"percent:10:5", "none"}, {"gigabytes:0", "none"},
        {"gigabytes:9223372036854775808", "none"}, {"Percent:10", "none"}, {"kilobytes:10", "none"}, {"percent: 10", "none"},
        {"percent:10 ", "none"}, {"percent:1.5", "none"}, {"percent:0x10", "none"}, {"10", "none"}, {"", "none"},
    };
    for (const auto& [stored, expected] : parsed) {
        const auto threshold = LowSpaceThreshold::fromRawValue(stored);
        EXPECT_EQ(threshold ? threshold->rawValue().toStdString() : "none", expected) << stored.toStdString();
    }
    EXPECT_EQ(qHash(*LowSpaceThreshold::fromRawValue("percent:250")), qHash(LowSpaceThreshold::percent(100)));
    EXPECT_NE(LowSpaceThreshold::percent(10), LowSpaceThreshold::gigabytes(10));
    EXPECT_EQ(LowSpaceThreshold{}, LowSpaceThreshold::percent(10));

    // Only the available figure counts, not the strict one; clear is past the band of 1.1 × the threshold.
    constexpr qint64 max = std::numeric_limits<qint64>::max();
    const auto p10 = LowSpaceThreshold::percent(10), g5 = LowSpaceThreshold::gigabytes(5);
    const struct { const char* name; LowSpaceThreshold threshold; qint64 total, available; bool low, clear; } rows[] = {
        {"10 % at 10 %", p10, 1000, 100, false, false},
        {"10 % below", p10, 1000, 99, true, false},
        {"10 % in the band", p10, 1000, 110, false, false},  // 110.000…01 in double precision
        {"10 % past the band", p10, 1000, 111, false, true},
        {"no capacity", p10, 0, 0, false, true},
        {"negative figures", p10, -1, -5, false, true},
        {"100 %", LowSpaceThreshold::percent(100), 1000, 999, true, false},
        {"5 GB below", g5, 64'000'000'000, 4'999'999'999, true, false},
        {"5 GB at", g5, 64'000'000'000, 5'000'000'000, false, false},
        {"5 GB band", g5, 100'000'000'000, 5'499'999'999, false, false},
        {"5 GB clear", g5, 100'000'000'000, 5'500'000'001, false, true},
        {"5 GB on a smaller volume", g5, 1'000'000, 1'000'000, true, false},
        {"past 64 bits", LowSpaceThreshold::gigabytes(max), max, max - 1, true, false},
        {"10^10 GB", LowSpaceThreshold::gigabytes(10'000'000'000), 1'000'000'000'000, 1'000'000'000'000, true, false},
    };
    for (const auto& row : rows) {
        const Space space{.total = row.total, .available = row.available, .availableStrict = 0};
        EXPECT_EQ(std::make_pair(row.threshold.isLow(space), row.threshold.isClearOf(space)), std::make_pair(row.low, row.clear)) << row.name;
    }
    EXPECT_DOUBLE_EQ(LowSpaceThreshold::percent(25).bytes(2'000'000'000'000), 500'000'000'000.0);
}

namespace {

using Kinds = QSet<VolumeKind>;

// Each store is a file of its own, so Qt's per-file cache never carries values between cases.
class PreferencesTest : public ::testing::Test {
protected:
    QString path(const QString& name) const { return dir.filePath(name); }
    QSettings& store(const QString& name, const QByteArray& text = {})
    {
        if (QFile file(path(name)); !text.isNull() && file.open(QIODevice::WriteOnly))
            file.write(text);
        return *stores.emplace_back(std::make_unique<QSettings>(path(name), QSettings::IniFormat));
    }
    QByteArray fileText(const QString& name) const
    {
        QFile file(path(name));
        return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
    }
    // Reads a stored file the way a new launch would: from a path Qt has not cached yet.
    std::unique_ptr<Preferences> relaunch(const QString& name)
    {
        const QString copy = QStringLiteral("relaunch-%1.conf").arg(stores.size());
        EXPECT_TRUE(QFile::copy(path(name), path(copy)));
        return std::make_unique<Preferences>(store(copy));
    }

    QTemporaryDir dir;
    std::vector<std::unique_ptr<QSettings>> stores;
};

const QStringList defaults{"style icon", "pinned automatic", "activity during transfers on", "trace on", "units decimal",
                           "low space percent:10", "shown external+diskImage+internal", "hide without external off",
                           "notify low space off", "notify transfer finished off"};

QStringList with(QList<std::pair<int, QString>> changes)
{
    QStringList summary = defaults;
    for (const auto& [index, text] : changes)
        summary[index] = text;
    return summary;
}

} // namespace

TEST_F(PreferencesTest, ReadsDefaultsStoredValuesWrongTypesAndGarbage)
{
    const struct {
        const char* name;
        QByteArray text;
        QList<std::pair<QString, QVariant>> values;  // set through QSettings, in their own types
        QStringList summary;
        std::optional<QString> pin;
        Accent accent = Accent::phosphor;
    } rows[] = {
        {"fresh", {}, {}, defaults, {}},
        {"every setting",
         "[General]\nmenuBarStyle=spaceActivity\npinnedVolumeID=3A98-5505\nactivityDuringTransfers=false\n"
         "activityTrace=false\nunits=binary\nlowSpaceThreshold=gigabytes:50\nvolumesShown=diskImage, network\n"
         "hideWhenNoExternal=true\naccent=amber\nnotifyLowSpace=true\nnotifyTransferFinished=true\n",
         {},
         {"style spaceActivity", "pinned chosen", "activity during transfers off", "trace off", "units binary",
          "low space gigabytes:50", "shown diskImage+network", "hide without external on", "notify low space on",
          "notify transfer finished on"},
         "3A98-5505", Accent::amber},
        {"garbage",
         "[General]\nmenuBarStyle=Icon\npinnedVolumeID=one, two\nactivityDuringTransfers=maybe\n"
         "activityTrace=@ByteArray(true)\nunits=Binary\nlowSpaceThreshold=percent:0\n"
         "volumesShown=network, hovercraft, network\nhideWhenNoExternal=sometimes\naccent=green\n"
         "notifyLowSpace=@Invalid()\nnotifyTransferFinished=true, false\n",
         {}, with({{6, "shown network"}}), {}},
        {"threshold quoted", "[General]\nlowSpaceThreshold=\"percent:5, percent:20\"\n", {}, defaults, {}},
        {"threshold list", "[General]\nlowSpaceThreshold=percent:5, percent:20\n", {}, defaults, {}},
        {"threshold clamped", "[General]\nlowSpaceThreshold=percent:101\n", {}, with({{5, "low space percent:100"}}), {}},
        {"empty pin", "[General]\npinnedVolumeID=\n", {}, defaults, {}},
        {"wrong types", {},
         {{"menuBarStyle", 2}, {"pinnedVolumeID", 42}, {"activityDuringTransfers", 2.5}, {"activityTrace", QStringList{"false", "false"}},
          {"units", true}, {"lowSpaceThreshold", QStringList{"percent:20"}}, {"volumesShown", QVariantList{"network", 3}},
          {"hideWhenNoExternal", QByteArray("true")}, {"accent", QByteArray("cyan")}, {"notifyLowSpace", QStringList{"true"}},
          {"notifyTransferFinished", QVariant()}},
         with({{6, "shown "}}), {}},  // not an array of strings: nothing shown
        {"loose booleans", {},
         {{"notifyLowSpace", 2}, {"notifyTransferFinished", " Yes "}, {"activityTrace", "0"}, {"volumesShown", 7}},
         with({{3, "trace off"}, {6, "shown "}, {8, "notify low space on"}, {9, "notify transfer finished on"}}), {}},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.name);
        QSettings& settings = store(row.name, row.text);
        for (const auto& [key, value] : row.values)
            settings.setValue(key, value);
        const Preferences prefs(settings);
        EXPECT_EQ(prefs.settingsSummary(), row.summary);
        EXPECT_FALSE(prefs.settingsSummary().join('\n').contains("3A98"));
        EXPECT_EQ(std::make_pair(prefs.pinnedVolumeID(), prefs.accent()), std::make_pair(row.pin, row.accent));
        settings.sync();
        if (row.values.isEmpty()) {
            EXPECT_EQ(fileText(row.name), row.text) << "reading wrote the file";
        }
    }
}

TEST_F(PreferencesTest, SettersWriteThroughAndSignalOnlyChanges)
{
    QSettings& settings = store("set", "[General]\nmenuBarStyle=Icon\nactivityDuringTransfers=maybe\nunits=Binary\n"
                                       "lowSpaceThreshold=percent:10:5\nvolumesShown=internal, diskImage, external, bogus\n"
                                       "accent=green\nnotifyLowSpace=@Invalid()\n");
    Preferences prefs(settings);
    QSignalSpy style(&prefs, &Preferences::menuBarStyleChanged), threshold(&prefs, &Preferences::lowSpaceThresholdChanged),
        shown(&prefs, &Preferences::volumesShownChanged), accent(&prefs, &Preferences::accentChanged),
        pinned(&prefs, &Preferences::pinnedVolumeIDChanged);
    // The defaults again, over garbage: written at once, without waiting for the event loop, and no signal.
    prefs.setMenuBarStyle(MenuBarStyle::icon);
    prefs.setPinnedVolumeID(std::nullopt);
    prefs.setActivityDuringTransfers(true);
    prefs.setActivityTrace(true);
    prefs.setUnits(ByteUnits::decimal);
    prefs.setLowSpaceThreshold(LowSpaceThreshold::percent(10));
    prefs.setVolumesShown({VolumeKind::internal, VolumeKind::external, VolumeKind::diskImage});
    prefs.setHideWhenNoExternal(false);
    prefs.setAccent(Accent::phosphor);
    prefs.setNotifyLowSpace(false);
    prefs.setNotifyTransferFinished(false);
    EXPECT_EQ(style.count() + threshold.count() + shown.count() + accent.count() + pinned.count(), 0);
    EXPECT_EQ(fileText("set"), "[General]\naccent=phosphor\nactivityDuringTransfers=true\nactivityTrace=true\n"
                               "hideWhenNoExternal=false\nlowSpaceThreshold=percent:10\nmenuBarStyle=icon\n"
                               "notifyLowSpace=false\nnotifyTransferFinished=false\nunits=decimal\n"
                               "volumesShown=diskImage, external, internal\n");

    prefs.setMenuBarStyle(MenuBarStyle::space);
    prefs.setMenuBarStyle(MenuBarStyle::space);
    prefs.setLowSpaceThreshold(LowSpaceThreshold::gigabytes(10));
    prefs.setLowSpaceThreshold(*LowSpaceThreshold::fromRawValue("gigabytes:10"));
    prefs.setAccent(Accent::system);
    prefs.setUnits(ByteUnits::binary);
    prefs.setNotifyTransferFinished(true);
    prefs.setVolumesShown({VolumeKind::network, VolumeKind::internal, VolumeKind::diskImage, VolumeKind::external});
    prefs.setVolumesShown({VolumeKind::external, VolumeKind::internal, VolumeKind::diskImage, VolumeKind::network});  // a set
    EXPECT_EQ(QList<qsizetype>({style.count(), threshold.count(), accent.count(), shown.count()}), QList<qsizetype>({1, 1, 1, 1}));
    EXPECT_TRUE(fileText("set").contains("volumesShown=diskImage, external, internal, network\n"));
    const auto read = relaunch("set");
    EXPECT_EQ(read->settingsSummary(), prefs.settingsSummary());
    EXPECT_EQ(read->accent(), Accent::system);

    // One kind and none at all read back as themselves, not as the default.
    for (const Kinds& kinds : {Kinds{VolumeKind::network}, Kinds{}}) {
        prefs.setVolumesShown(kinds);
        EXPECT_EQ(relaunch("set")->volumesShown(), kinds);
    }
    // Mount sources of network shares can hold anything the INI format treats specially.
    for (const QString id : {"//nas/share, 2", "@Invalid()", "a=\"b\";c #d", "Ünïcödé [x]"}) {
        prefs.setPinnedVolumeID(id);
        EXPECT_EQ(relaunch("set")->pinnedVolumeID(), id) << id.toStdString();
    }
    prefs.setPinnedVolumeID(std::nullopt);
    prefs.setPinnedVolumeID(QString());  // an empty id is no pin either
    EXPECT_EQ(pinned.count(), 5);
    EXPECT_FALSE(fileText("set").contains("pinnedVolumeID"));

    // A store that cannot be written keeps the value all the same.
    store("blocker", "not a directory");
    QSettings unwritable(path("blocker/mallowby.conf"), QSettings::IniFormat);
    Preferences kept(unwritable);
    QSignalSpy changed(&kept, &Preferences::menuBarStyleChanged);
    kept.setMenuBarStyle(MenuBarStyle::activity);
    EXPECT_EQ(std::make_tuple(kept.menuBarStyle(), changed.count(), unwritable.status()), std::make_tuple(MenuBarStyle(MenuBarStyle::activity), 1, QSettings::AccessError));
}

TEST_F(PreferencesTest, PinnedVolumeChoice)
{
    const auto volume = [](const char* id, VolumeKind kind, bool isBoot = false) {
        Volume v;
        v.id = v.name = id;
        v.kind = kind;
        v.isBoot = isBoot;
        return v;
    };
    const Volume boot = volume("root", VolumeKind::internal, true), data = volume("data", VolumeKind::internal),
                 stickA = volume("stick-a", VolumeKind::external), stickB = volume("stick-b", VolumeKind::external),
                 image = volume("image", VolumeKind::diskImage);
    const struct { std::optional<QString> pin; QList<Volume> volumes; QString want; } rows[] = {
        {std::nullopt, {image, stickA, stickB, data, boot}, "stick-a"}, {std::nullopt, {image, data, boot}, "root"},
        {std::nullopt, {image, data}, ""}, {std::nullopt, {}, ""}, {"stick-b", {stickA, stickB, boot}, "stick-b"},
        {"data", {stickA, data, boot}, "data"}, {"gone", {stickA, stickB, boot}, ""},  // an away pin does not fall back
    };
    Preferences prefs(store("choice"));
    for (const auto& row : rows) {
        prefs.setPinnedVolumeID(row.pin);
        EXPECT_EQ(prefs.pinnedVolume(row.volumes).value_or(Volume{}).id, row.want) << row.pin.value_or("-").toStdString();
    }
}
