#include "support/TestEnvironment.h"

#include <QDir>
#include <QFile>
#include <QProcess>
#include <QTemporaryDir>

#include <gtest/gtest.h>

using namespace mallowby::test;

// The app reads ~/.config/mallowby/mallowby.conf at launch; a mangled file must neither stop it
// nor be rewritten by merely reading it.
TEST(SettingsFile, AGarbledFileNeitherStopsTheLaunchNorIsRewritten)
{
    QTemporaryDir config;
    ASSERT_TRUE(QDir(config.path()).mkpath(QStringLiteral("mallowby")));
    const QString path = config.filePath(QStringLiteral("mallowby/mallowby.conf"));
    const QByteArray garbled = "[General]\n"
                               "menuBarStyle=@Variant(\\0\\0\\0\\x7f\\0\\0\\0\\x1cZ)\n"
                               "lowSpaceThreshold=gigabytes:99999999999999999999\n"
                               "volumesShown=@ByteArray(\\xff\\xfe)\n"
                               "activityTrace=@Invalid()\n"
                               "pinnedVolumeID=\"unterminated\n"
                               "=no key\n"
                               "[broken section\n"
                               "accent\n";
    {
        QFile file(path);
        ASSERT_TRUE(file.open(QIODevice::WriteOnly));
        file.write(garbled);
    }

    QProcess process;
    auto environment = QProcessEnvironment::systemEnvironment();
    for (const char* key : {"DISPLAY", "WAYLAND_DISPLAY", "QT_QPA_PLATFORM", "MALLOWBY_DUMP_RATES"})
        environment.remove(QString::fromLatin1(key));
    environment.insert(QStringLiteral("MALLOWBY_DUMP_VOLUMES"), QStringLiteral("1"));
    environment.insert(QStringLiteral("XDG_CONFIG_HOME"), config.path());
    process.setProcessEnvironment(environment);
    process.start(TestEnvironment::mallowbyBinary(), {});
    ASSERT_TRUE(process.waitForFinished(10000)) << "the dump did not end";
    EXPECT_EQ(process.exitStatus(), QProcess::NormalExit);
    EXPECT_EQ(process.exitCode(), 0) << process.readAllStandardError().toStdString();
    EXPECT_TRUE(process.readAllStandardOutput().startsWith("name\tkind\t"));

    QFile file(path);
    ASSERT_TRUE(file.open(QIODevice::ReadOnly));
    EXPECT_EQ(file.readAll(), garbled);
    EXPECT_EQ(QDir(config.filePath(QStringLiteral("mallowby"))).entryList(QDir::Files), QStringList{"mallowby.conf"});
}
