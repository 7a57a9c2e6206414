#include "support/TestEnvironment.h"

#include <QDir>
#include <QDirIterator>
#include <QFile>
#include <QImageReader>
#include <QProcess>
#include <QSettings>
#include <QStandardPaths>
#include <QTemporaryDir>

#include <gtest/gtest.h>

#include <iostream>

using namespace mallowby::test;

namespace {

const QString appID = QStringLiteral(MALLOWBY_APP_ID);
const QString prefix = QStringLiteral(MALLOWBY_INSTALL_PREFIX);
const QString dataDir = prefix + QStringLiteral("/" MALLOWBY_DATADIR);

// `cmake --install` of the build tree into a staging folder (DESTDIR), once for all tests.
class Installed : public ::testing::Test {
protected:
    static void SetUpTestSuite()
    {
        root = std::make_unique<QTemporaryDir>();
        QProcess install;
        auto environment = QProcessEnvironment::systemEnvironment();
        environment.insert(QStringLiteral("DESTDIR"), root->path());
        install.setProcessEnvironment(environment);
        install.setProcessChannelMode(QProcess::MergedChannels);
        install.start(QStringLiteral("cmake"), {QStringLiteral("--install"), QStringLiteral(MALLOWBY_BUILD_DIR)});
        installed = install.waitForFinished(120000) && install.exitStatus() == QProcess::NormalExit && install.exitCode() == 0;
        installLog = QString::fromUtf8(install.readAll());
    }
    static void TearDownTestSuite() { root.reset(); }

    void SetUp() override { ASSERT_TRUE(installed) << "cmake --install failed:\n" << installLog.toStdString(); }

    static QString staged(const QString& path) { return root->path() + path; }

    // The installed program run with no display and no session bus, as from a bare terminal.
    static TestEnvironment::Result runProgram(const QStringList& arguments)
    {
        QProcess process;
        auto environment = QProcessEnvironment::systemEnvironment();
        for (const char* key : {"DISPLAY", "WAYLAND_DISPLAY", "QT_QPA_PLATFORM", "DBUS_SESSION_BUS_ADDRESS"})
            environment.remove(QString::fromLatin1(key));
        process.setProcessEnvironment(environment);
        process.start(staged(QStringLiteral(MALLOWBY_INSTALLED_PROGRAM)), arguments);
        TestEnvironment::Result result;
        if (!process.waitForFinished(10000)) {
            process.kill();
            process.waitForFinished();
            return result;
        }
        result.exitCode = process.exitStatus() == QProcess::NormalExit ? process.exitCode() : -1;
        result.out = QString::fromUtf8(process.readAllStandardOutput());
        result.err = QString::fromUtf8(process.readAllStandardError());
        return result;
    }

    static bool hasTool(const char* name) { return !QStandardPaths::findExecutable(QString::fromLatin1(name)).isEmpty(); }

    static inline std::unique_ptr<QTemporaryDir> root;
    static inline bool installed = false;
    static inline QString installLog;
};

} // namespace

TEST_F(Installed, InstallsExactlyTheProgramAndItsDesktopFiles)
{
    QStringList expected{QStringLiteral(MALLOWBY_INSTALLED_PROGRAM),
                         dataDir + QStringLiteral("/applications/") + appID + QStringLiteral(".desktop"),
                         dataDir + QStringLiteral("/metainfo/") + appID + QStringLiteral(".metainfo.xml"),
                         prefix + QStringLiteral("/" MALLOWBY_MANDIR "/man1/mallowby.1.gz"),
                         dataDir + QStringLiteral("/icons/hicolor/scalable/apps/") + appID + QStringLiteral(".svg"),
                         dataDir + QStringLiteral("/icons/hicolor/symbolic/apps/") + appID + QStringLiteral("-symbolic.svg")};
    const QStringList sizes = QStringLiteral(MALLOWBY_ICON_SIZES).split(QLatin1Char(','));
    for (const QString& size : sizes)
        expected << dataDir + QStringLiteral("/icons/hicolor/%1x%1/apps/").arg(size) + appID + QStringLiteral(".png");

    QStringList files;
    for (QDirIterator it(root->path(), QDir::Files | QDir::Hidden, QDirIterator::Subdirectories); it.hasNext();)
        files << it.next().mid(root->path().size());
    files.sort();
    expected.sort();
    EXPECT_EQ(files, expected);

    EXPECT_TRUE(QFileInfo(staged(QStringLiteral(MALLOWBY_INSTALLED_PROGRAM))).isExecutable());
    // Every bitmap is of the size its folder says, and not a blank square.
    EXPECT_GE(sizes.size(), 6);
    EXPECT_EQ(sizes.first(), QStringLiteral("16"));
    EXPECT_EQ(sizes.last(), QStringLiteral("256"));
    for (const QString& size : sizes) {
        const QString path = staged(dataDir + QStringLiteral("/icons/hicolor/%1x%1/apps/").arg(size) + appID + QStringLiteral(".png"));
        QImageReader reader(path);
        EXPECT_EQ(reader.format(), "png") << path.toStdString();
        const QImage image = reader.read();
        EXPECT_EQ(image.size(), QSize(size.toInt(), size.toInt())) << path.toStdString();
        EXPECT_TRUE(image.hasAlphaChannel());
        EXPECT_EQ(image.pixelColor(0, 0).alpha(), 0) << "the corners are transparent";
        EXPECT_EQ(image.pixelColor(image.width() / 2, image.height() / 2).alpha(), 255) << "the middle is drawn";
    }
}

TEST_F(Installed, TheDesktopEntryIsValidAndStartsTheInstalledProgramWithItsIcon)
{
    const QString entry = staged(dataDir + QStringLiteral("/applications/") + appID + QStringLiteral(".desktop"));
    if (!hasTool("desktop-file-validate"))
        GTEST_SKIP() << "desktop-file-validate is not installed (scripts/install-deps installs desktop-file-utils)";
    const auto validation = TestEnvironment::run(QStringLiteral("desktop-file-validate"), {entry});
    EXPECT_EQ(validation.exitCode, 0) << validation.out.toStdString() << validation.err.toStdString();
    EXPECT_EQ(validation.out + validation.err, QString()) << "no hints or warnings";

    QSettings desktop(entry, QSettings::IniFormat);
    desktop.beginGroup(QStringLiteral("Desktop Entry"));
    EXPECT_EQ(desktop.value(QStringLiteral("Exec")).toString(), QStringLiteral(MALLOWBY_INSTALLED_PROGRAM));
    EXPECT_EQ(desktop.value(QStringLiteral("Icon")).toString(), appID);
    EXPECT_EQ(desktop.value(QStringLiteral("StartupNotify")).toString(), QStringLiteral("false"));
    EXPECT_EQ(desktop.value(QStringLiteral("X-GNOME-UsesNotifications")).toString(), QStringLiteral("true"));
    EXPECT_TRUE(desktop.value(QStringLiteral("Categories")).toString().contains(QStringLiteral("System")));
}

TEST_F(Installed, TheMetainfoPassesAppStreamValidation)
{
    if (!hasTool("appstreamcli"))
        GTEST_SKIP() << "appstreamcli is not installed (scripts/install-deps installs appstream)";
    const QString metainfo = staged(dataDir + QStringLiteral("/metainfo/") + appID + QStringLiteral(".metainfo.xml"));
    const auto validation = TestEnvironment::run(QStringLiteral("appstreamcli"),
                                                 {QStringLiteral("validate"), QStringLiteral("--no-net"), metainfo});
    // Warnings fail validation too; pedantic notes are printed here for the record.
    EXPECT_EQ(validation.exitCode, 0) << validation.out.toStdString() << validation.err.toStdString();
    std::cout << validation.out.toStdString();
    QFile file(metainfo);
    ASSERT_TRUE(file.open(QIODevice::ReadOnly));
    const QString text = QString::fromUtf8(file.readAll());
    EXPECT_TRUE(text.contains(QStringLiteral("<release version=\"" MALLOWBY_VERSION "\""))) << "the release is this version";
    EXPECT_FALSE(text.contains(QLatin1Char('@'))) << "every placeholder was filled in";
}

TEST_F(Installed, TheInstalledProgramAnswersItsCommandLineWithoutADisplay)
{
    const auto version = runProgram({QStringLiteral("--version")});
    EXPECT_EQ(version.exitCode, 0) << version.err.toStdString();
    EXPECT_EQ(version.out, QStringLiteral("mallowby " MALLOWBY_VERSION "\n"));

    const auto help = runProgram({QStringLiteral("--help")});
    EXPECT_EQ(help.exitCode, 0);
    EXPECT_TRUE(help.out.contains(QStringLiteral("--version"))) << help.out.toStdString();
    EXPECT_FALSE(help.out.contains(QStringLiteral("-platform"))) << "the toolkit's options stay out of the help";

    // An unknown option or a stray argument: a message on the error stream, status 2, and no
    // attempt to start (which here would report the missing display instead).
    for (const auto& [wrong, named] : {std::pair{"--bogus", "'bogus'"}, std::pair{"extra", "'extra'"}}) {
        const auto result = runProgram({QString::fromLatin1(wrong)});
        EXPECT_EQ(result.exitCode, 2) << wrong;
        EXPECT_EQ(result.out, QString());
        EXPECT_TRUE(result.err.contains(QString::fromLatin1(named))) << result.err.toStdString();
        EXPECT_TRUE(result.err.contains(QStringLiteral("--help"))) << result.err.toStdString();
        EXPECT_FALSE(result.err.contains(QStringLiteral("display"))) << result.err.toStdString();
    }
}
