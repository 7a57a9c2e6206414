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

QStringList kindNames(const Kinds& kinds)
{
    QStringList names;
    for (VolumeKind kind : VolumeKind::allCases())
        if (kinds.contains(kind))
            names << kind.rawValue();
    return names;
}

Volume volume(const QString& id, VolumeKind kind, bool isBoot = false)
{
    Volume v;
    v.id = id;
    v.name = id;
    v.kind = kind;
    v.isBoot = isBoot;
    return v;
}

class PreferencesTest : public ::testing::Test {
protected:
    // Each store is a file of its own, so Qt's per-file cache never carries values between tests.
    QString path(const QString& name = QStringLiteral("mallowby/mallowby.conf")) const { return dir.filePath(name); }

    void writeFile(const QByteArray& text, const QString& name = QStringLiteral("mallowby/mallowby.conf")) const
    {
        QDir().mkpath(QFileInfo(path(name)).path());
        QFile file(path(name));
        ASSERT_TRUE(file.open(QIODevice::WriteOnly));
        file.write(text);
    }

    QByteArray fileText(const QString& name = QStringLiteral("mallowby/mallowby.conf")) const
    {
        QFile file(path(name));
        return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
    }

    std::unique_ptr<QSettings> open(const QString& name = QStringLiteral("mallowby/mallowby.conf")) const
    {
        return std::make_unique<QSettings>(path(name), QSettings::IniFormat);
    }

    // Reads a stored file the way a new launch would: from a path Qt has not cached yet.
    std::unique_ptr<Preferences> relaunch()
    {
        const QString copy = QStringLiteral("relaunch-%1.conf").arg(++relaunches);
        EXPECT_TRUE(QFile::copy(path(), path(copy)));
        stores.push_back(open(copy));
        return std::make_unique<Preferences>(*stores.back());
    }

    QTemporaryDir dir;
    int relaunches = 0;
    std::vector<std::unique_ptr<QSettings>> stores;
};

const QStringList defaultSummary{
    "style icon",
    "pinned automatic",
    "activity during transfers on",
    "trace on",
    "units decimal",
    "low space percent:10",
    "shown external+diskImage+internal",
    "hide without external off",
    "notify low space off",
    "notify transfer finished off",
};

} // namespace

TEST_F(PreferencesTest, FreshStoreGivesTheDefaultsAndWritesNothing)
{
    auto store = open();
    const Preferences prefs(*store);
    EXPECT_EQ(prefs.menuBarStyle(), MenuBarStyle::icon);
    EXPECT_EQ(prefs.pinnedVolumeID(), std::nullopt);
    EXPECT_TRUE(prefs.activityDuringTransfers());
    EXPECT_TRUE(prefs.activityTrace());
    EXPECT_EQ(prefs.units(), ByteUnits::decimal);
    EXPECT_EQ(prefs.lowSpaceThreshold(), LowSpaceThreshold::percent(10));
    EXPECT_EQ(prefs.volumesShown(), (Kinds{VolumeKind::external, VolumeKind::diskImage, VolumeKind::internal}));
    EXPECT_FALSE(prefs.hideWhenNoExternal());
    EXPECT_EQ(prefs.accent(), Accent::phosphor);
    EXPECT_FALSE(prefs.notifyLowSpace());
    EXPECT_FALSE(prefs.notifyTransferFinished());
    EXPECT_EQ(prefs.settingsSummary(), defaultSummary);
    store->sync();
    EXPECT_FALSE(QFile::exists(path()));
}

TEST_F(PreferencesTest, ReadsEverySettingBack)
{
    writeFile("[General]\n"
              "menuBarStyle=spaceActivity\n"
              "pinnedVolumeID=3A98-5505\n"
              "activityDuringTransfers=false\n"
              "activityTrace=false\n"
              "units=binary\n"
              "lowSpaceThreshold=gigabytes:50\n"
              "volumesShown=diskImage, network\n"
              "hideWhenNoExternal=true\n"
              "accent=amber\n"
              "notifyLowSpace=true\n"
              "notifyTransferFinished=true\n");
    auto store = open();
    const Preferences prefs(*store);
    EXPECT_EQ(prefs.menuBarStyle(), MenuBarStyle::spaceActivity);
    EXPECT_EQ(prefs.pinnedVolumeID(), QStringLiteral("3A98-5505"));
    EXPECT_EQ(prefs.units(), ByteUnits::binary);
    EXPECT_EQ(prefs.accent(), Accent::amber);
    EXPECT_EQ(prefs.volumesShown(), (Kinds{VolumeKind::diskImage, VolumeKind::network}));
    EXPECT_EQ(prefs.settingsSummary(), (QStringList{
                                           "style spaceActivity",
                                           "pinned chosen",
                                           "activity during transfers off",
                                           "trace off",
                                           "units binary",
                                           "low space gigabytes:50",
                                           "shown diskImage+network",
                                           "hide without external on",
                                           "notify low space on",
                                           "notify transfer finished on",
                                       }));
    EXPECT_FALSE(prefs.settingsSummary().join('\n').contains("3A98"));
}

TEST_F(PreferencesTest, GarbageInEveryKeyGivesTheDefaults)
{
    writeFile("[General]\n"
              "menuBarStyle=Icon\n"
              "pinnedVolumeID=one, two\n"          // a list, not a string
              "activityDuringTransfers=maybe\n"
              "activityTrace=@ByteArray(true)\n"
              "units=Binary\n"
              "lowSpaceThreshold=percent:0\n"
              "volumesShown=network, hovercraft, network\n"
              "hideWhenNoExternal=sometimes\n"
              "accent=green\n"
              "notifyLowSpace=@Invalid()\n"
              "notifyTransferFinished=true, false\n");
    auto store = open();
    const Preferences prefs(*store);
    EXPECT_EQ(prefs.pinnedVolumeID(), std::nullopt);
    EXPECT_EQ(prefs.volumesShown(), Kinds{VolumeKind::network});
    QStringList expected = defaultSummary;
    expected[6] = QStringLiteral("shown network");
    EXPECT_EQ(prefs.settingsSummary(), expected);
}

TEST_F(PreferencesTest, ThresholdTextsThatDoNotParseGiveTenPercent)
{
    const QList<std::pair<QByteArray, LowSpaceThreshold>> cases{
        {"percent:0", LowSpaceThreshold::percent(10)},
        {"percent:10:5", LowSpaceThreshold::percent(10)},
        {"gigabytes:-3", LowSpaceThreshold::percent(10)},
        {"gigabytes:0", LowSpaceThreshold::percent(10)},
        {"percent:", LowSpaceThreshold::percent(10)},
        {"\"percent:5, percent:20\"", LowSpaceThreshold::percent(10)},  // quoted: one string of three pieces
        {"percent:5, percent:20", LowSpaceThreshold::percent(10)},      // a list
        {"percent:100", LowSpaceThreshold::percent(100)},
        {"percent:101", LowSpaceThreshold::percent(100)},
        {"percent:5", LowSpaceThreshold::percent(5)},
        {"gigabytes:99999999999", LowSpaceThreshold::gigabytes(99999999999)},
    };
    for (const auto& [stored, expected] : cases) {
        const QString name = QStringLiteral("threshold-%1.conf").arg(relaunches++);
        writeFile("[General]\nlowSpaceThreshold=" + stored + "\n", name);
        auto store = open(name);
        EXPECT_EQ(Preferences(*store).lowSpaceThreshold(), expected) << stored.toStdString();
    }
}

TEST_F(PreferencesTest, WrongValueTypesGiveTheDefaults)
{
    auto store = open();
    store->setValue(Preferences::menuBarStyleKey, 2);
    store->setValue(Preferences::pinnedVolumeIDKey, 42);
    store->setValue(Preferences::activityDuringTransfersKey, 2.5);
    store->setValue(Preferences::activityTraceKey, QStringList{"false", "false"});
    store->setValue(Preferences::unitsKey, true);
    store->setValue(Preferences::lowSpaceThresholdKey, QStringList{"percent:20"});
    store->setValue(Preferences::volumesShownKey, QVariantList{QStringLiteral("network"), 3});
    store->setValue(Preferences::hideWhenNoExternalKey, QByteArray("true"));
    store->setValue(Preferences::accentKey, QByteArray("cyan"));
    store->setValue(Preferences::notifyLowSpaceKey, QStringList{"true"});
    store->setValue(Preferences::notifyTransferFinishedKey, QVariant());
    const Preferences prefs(*store);
    QStringList expected = defaultSummary;
    expected[6] = QStringLiteral("shown ");  // not an array of strings: nothing is shown
    EXPECT_EQ(prefs.settingsSummary(), expected);
    EXPECT_EQ(prefs.pinnedVolumeID(), std::nullopt);

    // Numbers stand for booleans, as do the usual words.
    store->setValue(Preferences::notifyLowSpaceKey, 2);
    store->setValue(Preferences::notifyTransferFinishedKey, QStringLiteral(" Yes "));
    store->setValue(Preferences::activityTraceKey, QStringLiteral("0"));
    store->setValue(Preferences::volumesShownKey, 7);
    const Preferences again(*store);
    EXPECT_TRUE(again.notifyLowSpace());
    EXPECT_TRUE(again.notifyTransferFinished());
    EXPECT_FALSE(again.activityTrace());
    EXPECT_EQ(again.volumesShown(), Kinds{});
}

TEST_F(PreferencesTest, EverySetterWritesThroughEvenWithoutAChangeAndThenStaysQuiet)
{
    writeFile("[General]\n"
              "menuBarStyle=Icon\n"
              "activityDuringTransfers=maybe\n"
              "units=Binary\n"
              "lowSpaceThreshold=percent:10:5\n"
              "volumesShown=internal, diskImage, external, bogus\n"
              "accent=green\n"
              "notifyLowSpace=@Invalid()\n");
    auto store = open();
    Preferences prefs(*store);
    std::vector<std::unique_ptr<QSignalSpy>> spies;
    for (auto signal : {&Preferences::menuBarStyleChanged, &Preferences::pinnedVolumeIDChanged,
                        &Preferences::activityDuringTransfersChanged, &Preferences::activityTraceChanged,
                        &Preferences::unitsChanged, &Preferences::lowSpaceThresholdChanged,
                        &Preferences::volumesShownChanged, &Preferences::hideWhenNoExternalChanged,
                        &Preferences::accentChanged, &Preferences::notifyLowSpaceChanged,
                        &Preferences::notifyTransferFinishedChanged})
        spies.push_back(std::make_unique<QSignalSpy>(&prefs, signal));

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

    for (const auto& spy : spies)
        EXPECT_EQ(spy->count(), 0);
    // Written at once, without waiting for the event loop.
    EXPECT_EQ(fileText(), "[General]\n"
                          "accent=phosphor\n"
                          "activityDuringTransfers=true\n"
                          "activityTrace=true\n"
                          "hideWhenNoExternal=false\n"
                          "lowSpaceThreshold=percent:10\n"
                          "menuBarStyle=icon\n"
                          "notifyLowSpace=false\n"
                          "notifyTransferFinished=false\n"
                          "units=decimal\n"
                          "volumesShown=diskImage, external, internal\n");
    EXPECT_EQ(relaunch()->settingsSummary(), defaultSummary);
}

TEST_F(PreferencesTest, ChangesNotifyOnceAndSurviveARelaunch)
{
    auto store = open();
    Preferences prefs(*store);
    QSignalSpy style(&prefs, &Preferences::menuBarStyleChanged);
    QSignalSpy threshold(&prefs, &Preferences::lowSpaceThresholdChanged);
    QSignalSpy trace(&prefs, &Preferences::activityTraceChanged);
    QSignalSpy accent(&prefs, &Preferences::accentChanged);

    prefs.setMenuBarStyle(MenuBarStyle::space);
    prefs.setMenuBarStyle(MenuBarStyle::space);
    prefs.setLowSpaceThreshold(LowSpaceThreshold::gigabytes(10));
    prefs.setLowSpaceThreshold(*LowSpaceThreshold::fromRawValue("gigabytes:10"));
    prefs.setLowSpaceThreshold(LowSpaceThreshold::percent(10));
    prefs.setActivityTrace(false);
    prefs.setAccent(Accent::system);
    prefs.setUnits(ByteUnits::binary);
    prefs.setActivityDuringTransfers(false);
    prefs.setHideWhenNoExternal(true);
    prefs.setNotifyLowSpace(true);
    prefs.setNotifyTransferFinished(true);
    prefs.setPinnedVolumeID(QStringLiteral("stick"));

    EXPECT_EQ(style.count(), 1);
    EXPECT_EQ(threshold.count(), 2);
    EXPECT_EQ(trace.count(), 1);
    EXPECT_EQ(accent.count(), 1);
    EXPECT_EQ(prefs.lowSpaceThreshold(), LowSpaceThreshold::percent(10));

    const auto read = relaunch();
    EXPECT_EQ(read->settingsSummary(), prefs.settingsSummary());
    EXPECT_EQ(read->accent(), Accent::system);
    EXPECT_EQ(read->pinnedVolumeID(), QStringLiteral("stick"));
    EXPECT_EQ(read->settingsSummary()[0], "style space");
}

TEST_F(PreferencesTest, VolumesShownIsStoredSortedAndComparedAsASet)
{
    auto store = open();
    Preferences prefs(*store);
    QSignalSpy changed(&prefs, &Preferences::volumesShownChanged);

    prefs.setVolumesShown({VolumeKind::internal, VolumeKind::external});
    EXPECT_TRUE(fileText().contains("volumesShown=external, internal\n")) << fileText().toStdString();
    EXPECT_EQ(store->value(Preferences::volumesShownKey).toStringList(), (QStringList{"external", "internal"}));
    prefs.setVolumesShown({VolumeKind::external, VolumeKind::internal});
    EXPECT_EQ(changed.count(), 1);

    prefs.setVolumesShown({VolumeKind::network, VolumeKind::internal, VolumeKind::diskImage, VolumeKind::external});
    EXPECT_TRUE(fileText().contains("volumesShown=diskImage, external, internal, network\n"));
    EXPECT_EQ(kindNames(relaunch()->volumesShown()), (QStringList{"external", "diskImage", "network", "internal"}));

    // One kind, and none at all, read back as themselves and not as the registered default.
    prefs.setVolumesShown({VolumeKind::network});
    EXPECT_EQ(relaunch()->volumesShown(), Kinds{VolumeKind::network});
    prefs.setVolumesShown({});
    EXPECT_EQ(changed.count(), 4);
    const auto none = relaunch();
    EXPECT_EQ(none->volumesShown(), Kinds{});
    EXPECT_EQ(none->settingsSummary()[6], "shown ");
}

TEST_F(PreferencesTest, NoPinRemovesTheKeyAndOddIdsRoundTrip)
{
    auto store = open();
    Preferences prefs(*store);
    QSignalSpy changed(&prefs, &Preferences::pinnedVolumeIDChanged);

    // Mount sources of network shares can hold anything the INI format treats specially.
    for (const QString& id : {QStringLiteral("//nas/share, 2"), QStringLiteral("@Invalid()"), QStringLiteral("a=\"b\";c #d"),
                              QStringLiteral("Ünïcödé [x]")}) {
        prefs.setPinnedVolumeID(id);
        EXPECT_EQ(relaunch()->pinnedVolumeID(), id) << id.toStdString();
    }
    prefs.setPinnedVolumeID(std::nullopt);
    EXPECT_EQ(changed.count(), 5);
    EXPECT_FALSE(store->contains(Preferences::pinnedVolumeIDKey));
    EXPECT_FALSE(fileText().contains("pinnedVolumeID"));
    EXPECT_EQ(relaunch()->pinnedVolumeID(), std::nullopt);

    // An empty id is no pin either, written or read.
    prefs.setPinnedVolumeID(QString());
    EXPECT_EQ(changed.count(), 5);
    EXPECT_FALSE(fileText().contains("pinnedVolumeID"));
    writeFile("[General]\npinnedVolumeID=\n", "empty-pin.conf");
    auto emptyPin = open("empty-pin.conf");
    EXPECT_EQ(Preferences(*emptyPin).pinnedVolumeID(), std::nullopt);
}

TEST_F(PreferencesTest, PinnedVolumeIsThePinOrTheFirstExternalOrTheBootVolume)
{
    auto store = open();
    Preferences prefs(*store);
    const Volume boot = volume("root", VolumeKind::internal, true);
    const Volume data = volume("data", VolumeKind::internal);
    const Volume stickA = volume("stick-a", VolumeKind::external);
    const Volume stickB = volume("stick-b", VolumeKind::external);
    const Volume image = volume("image", VolumeKind::diskImage);

    const auto id = [&](const QList<Volume>& list) { return prefs.pinnedVolume(list).value_or(Volume{}).id; };
    EXPECT_EQ(id({image, stickA, stickB, data, boot}), "stick-a");
    EXPECT_EQ(id({image, data, boot}), "root");
    EXPECT_EQ(prefs.pinnedVolume({image, data}), std::nullopt);
    EXPECT_EQ(prefs.pinnedVolume({}), std::nullopt);

    prefs.setPinnedVolumeID(QStringLiteral("stick-b"));
    EXPECT_EQ(id({stickA, stickB, boot}), "stick-b");
    prefs.setPinnedVolumeID(QStringLiteral("data"));
    EXPECT_EQ(id({stickA, data, boot}), "data");
    // A pinned volume that is away does not fall back to the automatic choice.
    prefs.setPinnedVolumeID(QStringLiteral("gone"));
    EXPECT_EQ(prefs.pinnedVolume({stickA, stickB, boot}), std::nullopt);
    EXPECT_EQ(prefs.settingsSummary()[1], "pinned chosen");
}

TEST_F(PreferencesTest, AStoreThatCannotBeWrittenLosesTheWriteButNotTheValue)
{
    writeFile("not a directory", "blocker");
    QSettings store(path("blocker/mallowby.conf"), QSettings::IniFormat);
    Preferences prefs(store);
    QSignalSpy changed(&prefs, &Preferences::menuBarStyleChanged);
    prefs.setMenuBarStyle(MenuBarStyle::activity);
    EXPECT_EQ(prefs.menuBarStyle(), MenuBarStyle::activity);
    EXPECT_EQ(changed.count(), 1);
    EXPECT_EQ(store.status(), QSettings::AccessError);
}

TEST(PreferencesStore, TheUserFileIsMallowbyConfInTheConfigDirectory)
{
    EXPECT_EQ(Preferences::userStorePath(),
              QStandardPaths::writableLocation(QStandardPaths::GenericConfigLocation) + "/mallowby/mallowby.conf");
}
