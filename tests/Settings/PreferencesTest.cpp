#include "Settings/Preferences.h"

#include "support/Printers.h"

#include <QDir>
#include <QFile>
#include <QSettings>
#include <QSignalSpy>
#include <QStandardPaths>
#include <QTemporaryDir>

#include <gtest/gtest.h>

#include <memory>

using namespace mallowby;

namespace {

using Kinds = QSet<VolumeKind>;

// Each store is a file of its own, so Qt's per-file cache never carries values between cases.
class PreferencesTest : public ::testing::Test {
protected:
    QString path(const QString& name) const { return dir.filePath(name); }
    QSettings& store(const QString& name, const QByteArray& text = {})
    {
        if (!text.isNull()) {
            QFile file(path(name));
            EXPECT_TRUE(file.open(QIODevice::WriteOnly));
            file.write(text);
        }
        stores.push_back(std::make_unique<QSettings>(path(name), QSettings::IniFormat));
        return *stores.back();
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

TEST_F(PreferencesTest, ReadsDefaultsEveryStoredValueAndGarbage)
{
    const struct {
        const char* name;
        QByteArray text;
        QStringList summary;
    } rows[] = {
        {"fresh", QByteArray(), defaults},
        {"every setting",
         "[General]\nmenuBarStyle=spaceActivity\npinnedVolumeID=3A98-5505\nactivityDuringTransfers=false\n"
         "activityTrace=false\nunits=binary\nlowSpaceThreshold=gigabytes:50\nvolumesShown=diskImage, network\n"
         "hideWhenNoExternal=true\naccent=amber\nnotifyLowSpace=true\nnotifyTransferFinished=true\n",
         {"style spaceActivity", "pinned chosen", "activity during transfers off", "trace off", "units binary",
          "low space gigabytes:50", "shown diskImage+network", "hide without external on", "notify low space on",
          "notify transfer finished on"}},
        {"garbage",
         "[General]\nmenuBarStyle=Icon\npinnedVolumeID=one, two\nactivityDuringTransfers=maybe\n"
         "activityTrace=@ByteArray(true)\nunits=Binary\nlowSpaceThreshold=percent:0\n"
         "volumesShown=network, hovercraft, network\nhideWhenNoExternal=sometimes\naccent=green\n"
         "notifyLowSpace=@Invalid()\nnotifyTransferFinished=true, false\n",
         with({{6, "shown network"}})},
        {"threshold quoted", "[General]\nlowSpaceThreshold=\"percent:5, percent:20\"\n", defaults},
        {"threshold list", "[General]\nlowSpaceThreshold=percent:5, percent:20\n", defaults},
        {"threshold clamped", "[General]\nlowSpaceThreshold=percent:101\n", with({{5, "low space percent:100"}})},
    };
    for (const auto& row : rows) {
        QSettings& settings = store(row.name, row.text);
        const Preferences prefs(settings);
        EXPECT_EQ(prefs.settingsSummary(), row.summary) << row.name;
        EXPECT_FALSE(prefs.settingsSummary().join('\n').contains("3A98")) << row.name;
        settings.sync();
        EXPECT_EQ(QFile::exists(path(row.name)), !row.text.isNull()) << row.name << ": reading wrote the file";
    }
    const Preferences read(store("every setting"));
    EXPECT_EQ(read.pinnedVolumeID(), QStringLiteral("3A98-5505"));
    EXPECT_EQ(read.accent(), Accent::amber);
    EXPECT_EQ(Preferences(store("fresh")).accent(), Accent::phosphor);
    EXPECT_EQ(Preferences(store("garbage")).pinnedVolumeID(), std::nullopt);
}

TEST_F(PreferencesTest, WrongTypesAndLooseBooleans)
{
    QSettings& settings = store("types");
    settings.setValue(Preferences::menuBarStyleKey, 2);
    settings.setValue(Preferences::pinnedVolumeIDKey, 42);
    settings.setValue(Preferences::activityDuringTransfersKey, 2.5);
    settings.setValue(Preferences::activityTraceKey, QStringList{"false", "false"});
    settings.setValue(Preferences::unitsKey, true);
    settings.setValue(Preferences::lowSpaceThresholdKey, QStringList{"percent:20"});
    settings.setValue(Preferences::volumesShownKey, QVariantList{QStringLiteral("network"), 3});
    settings.setValue(Preferences::hideWhenNoExternalKey, QByteArray("true"));
    settings.setValue(Preferences::accentKey, QByteArray("cyan"));
    settings.setValue(Preferences::notifyLowSpaceKey, QStringList{"true"});
    settings.setValue(Preferences::notifyTransferFinishedKey, QVariant());
    const Preferences prefs(settings);
    EXPECT_EQ(prefs.settingsSummary(), with({{6, "shown "}}));  // not an array of strings: nothing shown
    EXPECT_EQ(prefs.pinnedVolumeID(), std::nullopt);

    settings.setValue(Preferences::notifyLowSpaceKey, 2);
    settings.setValue(Preferences::notifyTransferFinishedKey, QStringLiteral(" Yes "));
    settings.setValue(Preferences::activityTraceKey, QStringLiteral("0"));
    settings.setValue(Preferences::volumesShownKey, 7);
    const Preferences again(settings);
    EXPECT_TRUE(again.notifyLowSpace());
    EXPECT_TRUE(again.notifyTransferFinished());
    EXPECT_FALSE(again.activityTrace());
    EXPECT_EQ(again.volumesShown(), Kinds{});
}

TEST_F(PreferencesTest, SettersWriteThroughAndSignalOnlyChanges)
{
    QSettings& settings = store("set", "[General]\nmenuBarStyle=Icon\nactivityDuringTransfers=maybe\nunits=Binary\n"
                                       "lowSpaceThreshold=percent:10:5\nvolumesShown=internal, diskImage, external, bogus\n"
                                       "accent=green\nnotifyLowSpace=@Invalid()\n");
    Preferences prefs(settings);
    QSignalSpy style(&prefs, &Preferences::menuBarStyleChanged), threshold(&prefs, &Preferences::lowSpaceThresholdChanged),
        shown(&prefs, &Preferences::volumesShownChanged), accent(&prefs, &Preferences::accentChanged);
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
    EXPECT_EQ(style.count() + threshold.count() + shown.count() + accent.count(), 0);
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
    EXPECT_EQ(style.count(), 1);
    EXPECT_EQ(threshold.count(), 1);
    EXPECT_EQ(accent.count(), 1);
    const auto read = relaunch("set");
    EXPECT_EQ(read->settingsSummary(), prefs.settingsSummary());
    EXPECT_EQ(read->accent(), Accent::system);
}

TEST_F(PreferencesTest, VolumesShownAndPins)
{
    QSettings& settings = store("pins");
    Preferences prefs(settings);
    QSignalSpy shown(&prefs, &Preferences::volumesShownChanged), pinned(&prefs, &Preferences::pinnedVolumeIDChanged);
    prefs.setVolumesShown({VolumeKind::network, VolumeKind::internal, VolumeKind::diskImage, VolumeKind::external});
    EXPECT_TRUE(fileText("pins").contains("volumesShown=diskImage, external, internal, network\n"));
    prefs.setVolumesShown({VolumeKind::external, VolumeKind::internal, VolumeKind::diskImage, VolumeKind::network});
    EXPECT_EQ(shown.count(), 1);  // a set, not a list
    // One kind, and none at all, read back as themselves and not as the registered default.
    for (const Kinds& kinds : {Kinds{VolumeKind::network}, Kinds{}}) {
        prefs.setVolumesShown(kinds);
        EXPECT_EQ(relaunch("pins")->volumesShown(), kinds);
    }

    // Mount sources of network shares can hold anything the INI format treats specially.
    for (const QString& id : {QStringLiteral("//nas/share, 2"), QStringLiteral("@Invalid()"), QStringLiteral("a=\"b\";c #d"),
                              QStringLiteral("Ünïcödé [x]")}) {
        prefs.setPinnedVolumeID(id);
        EXPECT_EQ(relaunch("pins")->pinnedVolumeID(), id) << id.toStdString();
    }
    prefs.setPinnedVolumeID(std::nullopt);
    prefs.setPinnedVolumeID(QString());  // an empty id is no pin either
    EXPECT_EQ(pinned.count(), 5);
    EXPECT_FALSE(fileText("pins").contains("pinnedVolumeID"));
    EXPECT_EQ(Preferences(store("empty pin", "[General]\npinnedVolumeID=\n")).pinnedVolumeID(), std::nullopt);
}

TEST_F(PreferencesTest, PinnedVolumeChoice)
{
    const auto volume = [](const char* id, VolumeKind kind, bool isBoot = false) {
        Volume v;
        v.id = v.name = QString::fromLatin1(id);
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
    EXPECT_EQ(Preferences::userStorePath(),
              QStandardPaths::writableLocation(QStandardPaths::GenericConfigLocation) + "/mallowby/mallowby.conf");
}
