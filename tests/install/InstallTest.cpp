#include "support/TestEnvironment.h"

#include <QDirIterator>
#include <QFile>
#include <QImageReader>
#include <QRegularExpression>
#include <QSettings>
#include <QStandardPaths>
#include <QTemporaryDir>

#include <gtest/gtest.h>

using namespace mallowby::test;

namespace {

const QString appID = MALLOWBY_APP_ID, prefix = MALLOWBY_INSTALL_PREFIX, program = MALLOWBY_INSTALLED_PROGRAM;
const QString dataDir = prefix + "/" MALLOWBY_DATADIR, helper = prefix + "/" MALLOWBY_LIBEXECDIR "/mallowby/mallowby-space";
const QString entry = dataDir + "/applications/" + appID + ".desktop", metainfo = dataDir + "/metainfo/" + appID + ".metainfo.xml";
const QStringList sizes = QString(MALLOWBY_ICON_SIZES).split(',');

QString bitmap(const QString& size)
{
    return dataDir + QStringLiteral("/icons/hicolor/%1x%1/apps/").arg(size) + appID + ".png";
}

} // namespace

// `cmake --install` of the build tree into a staging folder (DESTDIR): exactly the program, its
// helper and its desktop files; every bitmap of the size its folder says, transparent at the
// corners and drawn in the middle; a desktop entry and a metainfo that pass their validators
// with no hints, start the installed program with its icon and name this release; the program
// answers its command line as from a bare terminal (no display, no session bus) and finds its
// capacity-read helper where it was installed, not in the build tree.
TEST(Installed, TheStagedInstallIsCompleteValidAndRunsAsFromABareTerminal)
{
    QTemporaryDir root;
    const auto staged = [&](const QString& path) { return root.path() + path; };
    for (const char* key : {"DISPLAY", "WAYLAND_DISPLAY", "QT_QPA_PLATFORM", "DBUS_SESSION_BUS_ADDRESS"})
        qunsetenv(key);
    qputenv("DESTDIR", QFile::encodeName(root.path()));
    const auto install = TestEnvironment::run("cmake", {"--install", MALLOWBY_BUILD_DIR}, std::chrono::minutes(2));
    qunsetenv("DESTDIR");
    ASSERT_EQ(install.exitCode, 0) << "cmake --install failed:\n" << install.out.toStdString() << install.err.toStdString();

    QStringList expected{program, helper, entry, metainfo, prefix + "/" MALLOWBY_MANDIR "/man1/mallowby.1.gz",
                         dataDir + "/icons/hicolor/scalable/apps/" + appID + ".svg",
                         dataDir + "/icons/hicolor/symbolic/apps/" + appID + "-symbolic.svg"};
    for (const QString& size : sizes)
        expected << bitmap(size);
    QStringList files;
    for (QDirIterator it(root.path(), QDir::Files | QDir::Hidden, QDirIterator::Subdirectories); it.hasNext();)
        files << it.next().mid(root.path().size());
    files.sort();
    expected.sort();
    EXPECT_EQ(files, expected);
    EXPECT_TRUE(QFileInfo(staged(program)).isExecutable() && QFileInfo(staged(helper)).isExecutable());
    EXPECT_EQ(sizes.first() + "-" + sizes.last() + QStringLiteral(" in %1").arg(sizes.size() >= 6), "16-256 in 1");
    for (const QString& size : sizes) {
        QImageReader reader(staged(bitmap(size)));
        EXPECT_EQ(reader.format(), "png") << size.toStdString();
        const QImage image = reader.read();
        EXPECT_EQ(image.size(), QSize(size.toInt(), size.toInt()));
        EXPECT_TRUE(image.hasAlphaChannel() && image.pixelColor(0, 0).alpha() == 0) << size.toStdString();
        EXPECT_EQ(image.pixelColor(image.width() / 2, image.height() / 2).alpha(), 255) << size.toStdString();
    }

    if (QStandardPaths::findExecutable("desktop-file-validate").isEmpty() || QStandardPaths::findExecutable("appstreamcli").isEmpty())
        std::printf("desktop-file-validate or appstreamcli is not installed (scripts/install-deps installs them)\n");
    else
        for (const auto& validator : {QStringList{"desktop-file-validate", staged(entry)}, QStringList{"appstreamcli", "validate", "--no-net", staged(metainfo)}}) {
            const auto validation = TestEnvironment::run(validator.first(), validator.mid(1));
            EXPECT_EQ(validation.exitCode, 0) << validation.out.toStdString() << validation.err.toStdString();
            EXPECT_TRUE(validator.first() != "desktop-file-validate" || (validation.out + validation.err).isEmpty()) << "no hints or warnings";
        }
    QSettings desktop(staged(entry), QSettings::IniFormat);
    desktop.beginGroup("Desktop Entry");
    EXPECT_EQ((QStringList{desktop.value("Exec").toString(), desktop.value("Icon").toString(), desktop.value("StartupNotify").toString(),
                           desktop.value("X-GNOME-UsesNotifications").toString()}),
              (QStringList{program, appID, "false", "true"}));
    EXPECT_TRUE(desktop.value("Categories").toString().contains("System"));
    QFile file(staged(metainfo));
    ASSERT_TRUE(file.open(QIODevice::ReadOnly));
    const QString text = QString::fromUtf8(file.readAll());
    EXPECT_TRUE(text.contains("<release version=\"" MALLOWBY_VERSION "\"")) << "the release is this version";
    EXPECT_FALSE(text.contains('@')) << "every placeholder was filled in";

    // A wrong option or a stray argument is a message on the error stream and status 2, with no attempt to start.
    const auto run = [&](const QStringList& arguments) { return TestEnvironment::run(staged(program), arguments, std::chrono::seconds(15)); };
    const auto version = run({"--version"});
    EXPECT_EQ(version.out + QString::number(version.exitCode), "mallowby " MALLOWBY_VERSION "\n0") << version.err.toStdString();
    const auto help = run({"--help"});
    EXPECT_TRUE(help.exitCode == 0 && help.out.contains("--version") && !help.out.contains("-platform")) << help.out.toStdString();
    for (const auto& [wrong, named] : {std::pair{"--bogus", "'bogus'"}, std::pair{"extra", "'extra'"}}) {
        const auto result = run({wrong});
        EXPECT_EQ(result.out + QString::number(result.exitCode), "2") << wrong;
        EXPECT_TRUE(result.err.contains(named) && result.err.contains("--help") && !result.err.contains("display")) << result.err.toStdString();
    }
    qputenv("MALLOWBY_DUMP_VOLUMES", "1");
    const auto dump = run({});
    qunsetenv("MALLOWBY_DUMP_VOLUMES");
    ASSERT_EQ(dump.exitCode, 0) << dump.err.toStdString();
    const QStringList rootRows = dump.out.split('\n').filter(QRegularExpression("\t/$"));
    EXPECT_TRUE(rootRows.size() == 1 && rootRows[0].section('\t', 4, 4).toLongLong() > 0) << dump.out.toStdString();
}
