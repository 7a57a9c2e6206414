#include "LaunchAtLoginOffer.h"
#include "LoginItem.h"

#include "support/Printers.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QMessageBox>
#include <QPushButton>
#include <QSettings>
#include <QStandardPaths>
#include <QTemporaryDir>

#include <gtest/gtest.h>

using namespace mallowby;

namespace {

class LoginOfferTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_TRUE(QDir(home.path()).mkpath(".local/bin"));
        ASSERT_TRUE(QDir(home.path()).mkpath("src/mallowby/build/mallowby"));
        installed = touch(".local/bin/mallowby");
        built = touch("src/mallowby/build/mallowby/mallowby");
        touch("src/mallowby/build/CMakeCache.txt");
    }
    QString touch(const QString& relative)
    {
        QFile file(home.filePath(relative));
        EXPECT_TRUE(file.open(QIODevice::WriteOnly));
        return file.fileName();
    }

    QTemporaryDir home;
    QString installed;
    QString built;
    QSettings store{home.filePath("mallowby.conf"), QSettings::IniFormat};
    LoginItem item{home.filePath("autostart/mallowby.desktop"), installed};
};

} // namespace

TEST_F(LoginOfferTest, OfferedOnceOnlyFromAnInstalledPlace)
{
    EXPECT_FALSE(LaunchAtLoginOffer::shouldOffer(store, built, home.path(), item));
    EXPECT_FALSE(LaunchAtLoginOffer::shouldOffer(store, "/tmp/mallowby", home.path(), item));
    EXPECT_FALSE(store.contains(LaunchAtLoginOffer::offeredKey));
    EXPECT_EQ(item.status(), LoginItem::Status::notRegistered);
    // Installed later: offered once, never again.
    EXPECT_TRUE(LaunchAtLoginOffer::shouldOffer(store, installed, home.path(), item));
    EXPECT_TRUE(store.value(LaunchAtLoginOffer::offeredKey).toBool());
    EXPECT_FALSE(LaunchAtLoginOffer::shouldOffer(store, installed, home.path(), item));
    // An enabled login item sets the flag and shows nothing.
    store.remove(LaunchAtLoginOffer::offeredKey);
    ASSERT_EQ(item.registerItem(), std::nullopt);
    EXPECT_FALSE(LaunchAtLoginOffer::shouldOffer(store, installed, home.path(), item));
    EXPECT_TRUE(store.value(LaunchAtLoginOffer::offeredKey).toBool());

    const QList<std::pair<QString, bool>> places{
        {"/usr/bin/mallowby", true},     {"/usr/local/bin/mallowby", true},          {"/opt/mallowby/bin/mallowby", true},
        {"/usrlocal/mallowby", false},   {"/home/me/.localbin/mallowby", false},     {"/home/me/.local/../Downloads/mallowby", false},
    };
    for (const auto& [path, isInstalled] : places)
        EXPECT_EQ(LaunchAtLoginOffer::isInstalledLocation(path, "/home/me"), isInstalled) << path.toStdString();
    EXPECT_FALSE(LaunchAtLoginOffer::isInstalledLocation("/.local/bin/mallowby", "/"));
    EXPECT_TRUE(LaunchAtLoginOffer::isInstalledLocation(installed, home.path()));
    EXPECT_FALSE(LaunchAtLoginOffer::isInstalledLocation(built, home.path()));
}

TEST_F(LoginOfferTest, TheAlertAsksOnceAndRegistersOnAcceptance)
{
    QMessageBox* box = LaunchAtLoginOffer::show(item);
    ASSERT_NE(box, nullptr);
    QStringList titles;
    for (QAbstractButton* button : box->buttons())
        titles << button->text();
    EXPECT_EQ(titles, (QStringList{"Start at Login", "Not Now"}));
    EXPECT_TRUE(box->isVisible());

    qobject_cast<QPushButton*>(box->buttons().at(1))->click();  // Not Now
    EXPECT_EQ(item.status(), LoginItem::Status::notRegistered);

    box = LaunchAtLoginOffer::show(item);
    qobject_cast<QPushButton*>(box->buttons().at(0))->click();  // Start at Login
    EXPECT_EQ(item.status(), LoginItem::Status::enabled);
}

TEST(LoginItem, TheEntryStartsTheExecutableAndHiddenEntriesAreOff)
{
    QTemporaryDir dir;
    const QString executable = dir.filePath("my apps/mallowby $HOME \"x\"");
    LoginItem item(dir.filePath("config/autostart/mallowby.desktop"), executable);
    EXPECT_EQ(item.status(), LoginItem::Status::notRegistered);
    ASSERT_EQ(item.registerItem(), std::nullopt);
    EXPECT_EQ(item.status(), LoginItem::Status::enabled);

    // Read back as a desktop would: the string escapes first, then the Exec quoting.
    QFile file(item.entryPath());
    ASSERT_TRUE(file.open(QIODevice::ReadOnly));
    const QString text = QString::fromUtf8(file.readAll());
    EXPECT_TRUE(text.startsWith("[Desktop Entry]\nType=Application\nName=mallowby\n"));
    const QString exec = text.section("\nExec=", 1).section('\n', 0, 0);
    QString unescaped;
    for (qsizetype i = 0; i < exec.size(); ++i) {
        if (exec[i] == '\\' && i + 1 < exec.size() && exec[i + 1] == '\\')
            ++i;
        unescaped += exec[i];
    }
    ASSERT_TRUE(unescaped.startsWith('"') && unescaped.endsWith('"')) << unescaped.toStdString();
    QString argument;
    for (qsizetype i = 1; i + 1 < unescaped.size(); ++i) {
        if (unescaped[i] == '\\')
            ++i;
        argument += unescaped[i];
    }
    EXPECT_EQ(argument, executable);
    EXPECT_EQ(LoginItem::execArgument("/usr/bin/mallowby"), "/usr/bin/mallowby");
    EXPECT_EQ(LoginItem::execArgument("/opt/100%/mallowby"), "\"/opt/100%%/mallowby\"");

    // Turned off by the desktop's session settings.
    file.close();
    ASSERT_TRUE(file.open(QIODevice::Append));
    file.write("Hidden=true\n");
    file.close();
    EXPECT_EQ(item.status(), LoginItem::Status::notRegistered);
    ASSERT_EQ(item.unregisterItem(), std::nullopt);
    EXPECT_FALSE(QFile::exists(item.entryPath()));
    EXPECT_EQ(item.unregisterItem(), std::nullopt);
}

TEST(LoginItem, StartsWhatTheInstalledDesktopEntryStartsNeverTheBuildTree)
{
    QTemporaryDir dir;
    const auto writeEntry = [&](const QString& dataDir, const QByteArray& exec) {
        ASSERT_TRUE(QDir(dir.path()).mkpath(dataDir + "/applications"));
        QFile file(dir.filePath(dataDir + "/applications/" MALLOWBY_APP_ID ".desktop"));
        ASSERT_TRUE(file.open(QIODevice::WriteOnly));
        file.write("[Desktop Entry]\nType=Application\nName=mallowby\nExec=" + exec + "\n");
    };
    const QString user = dir.filePath("user"), system = dir.filePath("system"), empty = dir.filePath("empty");
    writeEntry("system", "/usr/bin/mallowby");

    // Nothing installed anywhere: where the build installs it.
    EXPECT_EQ(LoginItem::installedProgram({empty}), MALLOWBY_INSTALLED_PROGRAM);
    EXPECT_EQ(LoginItem::installedProgram({}), MALLOWBY_INSTALLED_PROGRAM);
    EXPECT_EQ(LoginItem::installedProgram({empty, system}), "/usr/bin/mallowby");
    // The user's own install comes first, as for a launcher; quoting is undone.
    writeEntry("user", "\"/home/me/.local/my apps/mallowby\" --flag");
    EXPECT_EQ(LoginItem::installedProgram({user, system}), "/home/me/.local/my apps/mallowby");
    // An entry without a program does not count.
    writeEntry("user", "");
    EXPECT_EQ(LoginItem::installedProgram({user, system}), "/usr/bin/mallowby");

    // The item a running program registers: here the program is a test in the build tree.
    const QString exec = LoginItem::desktopEntry(LoginItem::installedProgram(
                                                     QStandardPaths::standardLocations(QStandardPaths::GenericDataLocation)))
                             .section("\nExec=", 1)
                             .section('\n', 0, 0);
    EXPECT_FALSE(exec.contains(QCoreApplication::applicationDirPath())) << exec.toStdString();
    EXPECT_TRUE(LoginItem::desktopEntry("/usr/bin/mallowby").contains("\nIcon=" MALLOWBY_APP_ID "\n"));
}
