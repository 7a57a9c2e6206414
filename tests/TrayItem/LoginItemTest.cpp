#include "LaunchAtLoginOffer.h"
#include "LoginItem.h"

#include "support/Printers.h"

#include <QCoreApplication>
#include <QDir>
#include <QMessageBox>
#include <QPushButton>
#include <QSettings>
#include <QStandardPaths>
#include <QTemporaryDir>

#include <gtest/gtest.h>

using namespace mallowby;

namespace {

// Makes the folders of `path` and writes `text` to it.
bool writeFile(const QString& path, const QByteArray& text = {})
{
    QFile file(path);
    return QDir().mkpath(QFileInfo(path).path()) && file.open(QIODevice::WriteOnly) && file.write(text) == text.size();
}

} // namespace

// A home with an installed copy of the program and a build tree, both under ~/.local.
TEST(LoginOffer, OfferedOnceOnlyFromAnInstalledPlaceAndTheAlertRegistersOnAcceptance)
{
    QTemporaryDir home;
    const QString installed = home.filePath(".local/bin/mallowby"), built = home.filePath(".local/src/mallowby/build/mallowby/mallowby");
    for (const QString& file : {installed, built, home.filePath(".local/src/mallowby/build/CMakeCache.txt")})
        ASSERT_TRUE(writeFile(file));
    QSettings store{home.filePath("mallowby.conf"), QSettings::IniFormat};
    LoginItem item{home.filePath("autostart/mallowby.desktop"), installed};
    EXPECT_FALSE(LaunchAtLoginOffer::shouldOffer(store, built, home.path(), item));
    EXPECT_FALSE(LaunchAtLoginOffer::shouldOffer(store, "/tmp/mallowby", home.path(), item));
    EXPECT_FALSE(store.contains(LaunchAtLoginOffer::offeredKey));
    // Installed later: offered once, never again.
    EXPECT_TRUE(LaunchAtLoginOffer::shouldOffer(store, installed, home.path(), item));
    EXPECT_TRUE(store.value(LaunchAtLoginOffer::offeredKey).toBool());
    EXPECT_FALSE(LaunchAtLoginOffer::shouldOffer(store, installed, home.path(), item));
    const QList<std::tuple<QString, QString, bool>> places{
        {"/usr/bin/mallowby", "/home/me", true},          {"/usr/local/bin/mallowby", "/home/me", true},
        {"/opt/mallowby/bin/mallowby", "/home/me", true}, {"/usrlocal/mallowby", "/home/me", false},
        {"/home/me/.localbin/mallowby", "/home/me", false}, {"/home/me/.local/../Downloads/mallowby", "/home/me", false},
        {"/.local/bin/mallowby", "/", false},             {installed, home.path(), true},
        {built, home.path(), false}};
    for (const auto& [path, user, isInstalled] : places)
        EXPECT_EQ(LaunchAtLoginOffer::isInstalledLocation(path, user), isInstalled) << path.toStdString();

    // The alert: "Not Now" leaves the item off, "Start at Login" registers it.
    for (const auto& [index, status] : {std::pair{1, LoginItem::Status::notRegistered}, {0, LoginItem::Status::enabled}}) {
        QMessageBox* box = LaunchAtLoginOffer::show(item);
        ASSERT_TRUE(box && box->isVisible());
        QStringList titles;
        for (QAbstractButton* button : box->buttons())
            titles << button->text();
        ASSERT_EQ(titles, (QStringList{"Start at Login", "Not Now"}));
        qobject_cast<QPushButton*>(box->buttons().at(index))->click();
        EXPECT_EQ(item.status(), status) << titles[index].toStdString();
    }
    // An enabled login item sets the flag and shows nothing.
    store.remove(LaunchAtLoginOffer::offeredKey);
    EXPECT_FALSE(LaunchAtLoginOffer::shouldOffer(store, installed, home.path(), item));
    EXPECT_TRUE(store.value(LaunchAtLoginOffer::offeredKey).toBool());
}

TEST(LoginItem, TheEntryStartsWhatTheInstalledDesktopEntryStartsAndHiddenEntriesAreOff)
{
    QTemporaryDir dir;
    LoginItem item(dir.filePath("config/autostart/mallowby.desktop"), "/my apps/mallowby $HOME \"x\"");
    EXPECT_EQ(item.status(), LoginItem::Status::notRegistered);
    ASSERT_EQ(item.registerItem(), std::nullopt);
    EXPECT_EQ(item.status(), LoginItem::Status::enabled);
    QFile file(item.entryPath());
    ASSERT_TRUE(file.open(QIODevice::ReadOnly));
    const QString text = QString::fromUtf8(file.readAll());
    file.close();
    EXPECT_TRUE(text.startsWith("[Desktop Entry]\nType=Application\nName=mallowby\n"));
    // The Exec key's quoting, then the string escape of its backslashes.
    EXPECT_TRUE(text.contains("\nExec=" R"("/my apps/mallowby \\$HOME \\"x\\"")" "\n")) << text.toStdString();
    EXPECT_EQ(LoginItem::execArgument("/usr/bin/mallowby"), "/usr/bin/mallowby");
    EXPECT_EQ(LoginItem::execArgument("/opt/100%/mallowby"), "\"/opt/100%%/mallowby\"");
    EXPECT_TRUE(LoginItem::desktopEntry("/usr/bin/mallowby").contains("\nIcon=" MALLOWBY_APP_ID "\n"));
    // Turned off by the desktop's session settings.
    ASSERT_TRUE(file.open(QIODevice::Append));
    file.write("Hidden=true\n");
    file.close();
    EXPECT_EQ(item.status(), LoginItem::Status::notRegistered);
    ASSERT_EQ(item.unregisterItem(), std::nullopt);
    EXPECT_FALSE(QFile::exists(item.entryPath()));
    EXPECT_EQ(item.unregisterItem(), std::nullopt);

    // The program is found as a launcher finds it: the user's own install first, quoting undone,
    // an entry without a program skipped; with nothing installed, where the build installs it.
    const QString user = dir.filePath("user"), system = dir.filePath("system"), empty = dir.filePath("empty");
    const auto entry = [&](const QString& dataDir, const QByteArray& exec) {
        ASSERT_TRUE(writeFile(dataDir + "/applications/" MALLOWBY_APP_ID ".desktop", "[Desktop Entry]\nType=Application\nName=mallowby\nExec=" + exec + "\n"));
    };
    entry(system, "/usr/bin/mallowby");
    EXPECT_EQ(LoginItem::installedProgram({empty}), MALLOWBY_INSTALLED_PROGRAM);
    EXPECT_EQ(LoginItem::installedProgram({}), MALLOWBY_INSTALLED_PROGRAM);
    EXPECT_EQ(LoginItem::installedProgram({empty, system}), "/usr/bin/mallowby");
    entry(user, "\"/home/me/.local/my apps/mallowby\" --flag");
    EXPECT_EQ(LoginItem::installedProgram({user, system}), "/home/me/.local/my apps/mallowby");
    entry(user, "");
    EXPECT_EQ(LoginItem::installedProgram({user, system}), "/usr/bin/mallowby");
    // The item a running program registers: here the program is a test in the build tree.
    const QString program = LoginItem::installedProgram(QStandardPaths::standardLocations(QStandardPaths::GenericDataLocation));
    EXPECT_FALSE(LoginItem::desktopEntry(program).contains(QCoreApplication::applicationDirPath())) << program.toStdString();
}
