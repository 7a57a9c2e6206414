#include "Settings/Preferences.h"

#include "support/Printers.h"

#include <QFile>
#include <QSettings>
#include <QSignalSpy>
#include <QTemporaryDir>

#include <gtest/gtest.h>

using namespace mallowby;

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
        Accent accent;
    } rows[] = {
        {"fresh", {}, {}, defaults, {}, Accent::phosphor},
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
         {}, with({{6, "shown network"}}), {}, Accent::phosphor},
        {"threshold quoted", "[General]\nlowSpaceThreshold=\"percent:5, percent:20\"\n", {}, defaults, {}, Accent::phosphor},
        {"threshold list", "[General]\nlowSpaceThreshold=percent:5, percent:20\n", {}, defaults, {}, Accent::phosphor},
        {"threshold clamped", "[General]\nlowSpaceThreshold=percent:101\n", {}, with({{5, "low space percent:100"}}), {}, Accent::phosphor},
        {"empty pin", "[General]\npinnedVolumeID=\n", {}, defaults, {}, Accent::phosphor},
        {"wrong types", {},
         {{"menuBarStyle", 2}, {"pinnedVolumeID", 42}, {"activityDuringTransfers", 2.5}, {"activityTrace", QStringList{"false", "false"}},
          {"units", true}, {"lowSpaceThreshold", QStringList{"percent:20"}}, {"volumesShown", QVariantList{"network", 3}},
          {"hideWhenNoExternal", QByteArray("true")}, {"accent", QByteArray("cyan")}, {"notifyLowSpace", QStringList{"true"}},
          {"notifyTransferFinished", QVariant()}},
         with({{6, "shown "}}), {}, Accent::phosphor},  // not an array of strings: nothing shown
        {"loose booleans", {},
         {{"notifyLowSpace", 2}, {"notifyTransferFinished", " Yes "}, {"activityTrace", "0"}, {"volumesShown", 7}},
         with({{3, "trace off"}, {6, "shown "}, {8, "notify low space on"}, {9, "notify transfer finished on"}}), {}, Accent::phosphor},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.name);
        QSettings& settings = store(row.name, row.text);
        for (const auto& [key, value] : row.values)
            settings.setValue(key, value);
        const Preferences prefs(settings);
        EXPECT_EQ(prefs.settingsSummary(), row.summary);
        EXPECT_FALSE(prefs.settingsSummary().join('\n').contains("3A98"));
        EXPECT_EQ(prefs.pinnedVolumeID(), row.pin);
        EXPECT_EQ(prefs.accent(), row.accent);
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
    const struct {
        std::optional<QString> pin;
        QList<Volume> volumes;
        QString want;  // empty: none
    } rows[] = {
        {std::nullopt, {image, stickA, stickB, data, boot}, "stick-a"},
        {std::nullopt, {image, data, boot}, "root"},
        {std::nullopt, {image, data}, ""},
        {std::nullopt, {}, ""},
        {"stick-b", {stickA, stickB, boot}, "stick-b"},
        {"data", {stickA, data, boot}, "data"},
        {"gone", {stickA, stickB, boot}, ""},  // an away pin does not fall back
    };
    Preferences prefs(store("choice"));
    for (const auto& row : rows) {
        prefs.setPinnedVolumeID(row.pin);
        EXPECT_EQ(prefs.pinnedVolume(row.volumes).value_or(Volume{}).id, row.want) << row.pin.value_or("-").toStdString();
    }
}

TEST_F(PreferencesTest, AnUnwritableStoreKeepsTheValue)
{
    store("blocker", "not a directory");
    QSettings settings(path("blocker/mallowby.conf"), QSettings::IniFormat);
    Preferences prefs(settings);
    QSignalSpy changed(&prefs, &Preferences::menuBarStyleChanged);
    prefs.setMenuBarStyle(MenuBarStyle::activity);
    EXPECT_EQ(prefs.menuBarStyle(), MenuBarStyle::activity);
    EXPECT_EQ(changed.count(), 1);
    EXPECT_EQ(settings.status(), QSettings::AccessError);
}
