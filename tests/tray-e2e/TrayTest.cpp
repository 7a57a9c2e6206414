#include "support/TestEnvironment.h"

#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QProcess>
#include <QRandomGenerator>
#include <QRect>
#include <QRegularExpression>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QThread>

#include <gtest/gtest.h>

#include <csignal>

using namespace mallowby::test;
using namespace std::chrono_literals;

namespace {

// A window on the X display, in root coordinates.
struct Window {
    QString id;
    QRect geometry;
    bool operator==(const Window&) const = default;
};

// An X server of its own (Xvfb) with trayer as tray host, and the app started in it under a
// private session bus, with its own settings folders. Everything is ended on destruction.
class TrayDesktop {
public:
    TrayDesktop()
    {
        for (const char* tool : {"Xvfb", "trayer", "xdotool", "xwininfo", "dbus-run-session"})
            if (QStandardPaths::findExecutable(QString::fromLatin1(tool)).isEmpty()) {
                m_missing = QStringLiteral("%1 is not installed (scripts/install-deps installs it)").arg(tool);
                return;
            }
        // A display number nobody uses.
        for (int attempt = 0; attempt < 50 && m_display.isEmpty(); ++attempt) {
            const int number = 100 + int(QRandomGenerator::global()->bounded(400));
            if (!QFile::exists(QStringLiteral("/tmp/.X11-unix/X%1").arg(number))
                && !QFile::exists(QStringLiteral("/tmp/.X%1-lock").arg(number)))
                m_display = QStringLiteral(":%1").arg(number);
        }
        m_environment = QProcessEnvironment::systemEnvironment();
        for (const char* key : {"WAYLAND_DISPLAY", "QT_QPA_PLATFORM", "MALLOWBY_DUMP_VOLUMES", "MALLOWBY_DUMP_RATES",
                                "DBUS_SESSION_BUS_ADDRESS"})
            m_environment.remove(QString::fromLatin1(key));
        m_environment.insert(QStringLiteral("DISPLAY"), m_display);
        QDir(m_home.path()).mkpath(QStringLiteral("config"));
        QDir(m_home.path()).mkpath(QStringLiteral("runtime"));
        QFile::setPermissions(m_home.filePath(QStringLiteral("runtime")), QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
        m_environment.insert(QStringLiteral("XDG_CONFIG_HOME"), m_home.filePath(QStringLiteral("config")));
        m_environment.insert(QStringLiteral("XDG_RUNTIME_DIR"), m_home.filePath(QStringLiteral("runtime")));

        m_xvfb.setProcessEnvironment(m_environment);
        m_xvfb.start(QStringLiteral("Xvfb"), {m_display, QStringLiteral("-screen"), QStringLiteral("0"),
                                              QStringLiteral("1280x800x24"), QStringLiteral("-nolisten"), QStringLiteral("tcp")});
        const QString socket = QStringLiteral("/tmp/.X11-unix/X%1").arg(m_display.mid(1));
        if (!m_xvfb.waitForStarted() || !TestEnvironment::waitUntil([&] { return QFile::exists(socket); }, 10s)) {
            m_missing = QStringLiteral("Xvfb did not start on %1").arg(m_display);
            return;
        }
        m_trayer.setProcessEnvironment(m_environment);
        m_trayer.start(QStringLiteral("trayer"),
                       {QStringLiteral("--edge"), QStringLiteral("top"), QStringLiteral("--align"), QStringLiteral("right"),
                        QStringLiteral("--widthtype"), QStringLiteral("request"), QStringLiteral("--height"), QStringLiteral("22"),
                        QStringLiteral("--SetDockType"), QStringLiteral("true"), QStringLiteral("--transparent"),
                        QStringLiteral("false"), QStringLiteral("--tint"), QStringLiteral("0x333333")});
        if (!m_trayer.waitForStarted() || !TestEnvironment::waitUntil([&] { return !windowsNamed("panel").isEmpty(); }, 10s))
            m_missing = QStringLiteral("trayer did not start");
    }

    ~TrayDesktop()
    {
        stopApp();
        for (QProcess* process : {&m_trayer, &m_xvfb})
            if (process->state() != QProcess::NotRunning) {
                process->terminate();
                if (!process->waitForFinished(5000)) {
                    process->kill();
                    process->waitForFinished(5000);
                }
            }
    }

    const std::optional<QString>& missing() const { return m_missing; }
    QProcess& app() { return m_app; }

    void startApp(const QList<std::pair<QString, QString>>& extra = {})
    {
        QProcessEnvironment environment = m_environment;
        for (const auto& [key, value] : extra)
            environment.insert(key, value);
        m_app.setProcessEnvironment(environment);
        m_app.setProcessChannelMode(QProcess::ForwardedErrorChannel);
        m_app.start(QStringLiteral("dbus-run-session"), {QStringLiteral("--"), TestEnvironment::mallowbyBinary()});
        m_app.waitForStarted();
    }
    void stopApp()
    {
        if (m_app.state() == QProcess::NotRunning)
            return;
        // The app first (the session ends with it), then the session itself if need be.
        QFile children(QStringLiteral("/proc/%1/task/%1/children").arg(m_app.processId()));
        if (children.open(QIODevice::ReadOnly))
            for (const QByteArray& pid : children.readAll().split(' '))
                if (pid.toInt() > 0)
                    ::kill(pid.toInt(), SIGTERM);
        if (m_app.waitForFinished(5000))
            return;
        m_app.terminate();
        if (!m_app.waitForFinished(5000)) {
            m_app.kill();
            m_app.waitForFinished(5000);
        }
    }

    // Runs an X tool on this display.
    TestEnvironment::Result x(const QString& program, const QStringList& arguments)
    {
        QProcess process;
        process.setProcessEnvironment(m_environment);
        process.start(program, arguments);
        TestEnvironment::Result result;
        if (!process.waitForStarted(5000) || !process.waitForFinished(10000))
            return result;
        result.exitCode = process.exitCode();
        result.out = QString::fromUtf8(process.readAllStandardOutput());
        result.err = QString::fromUtf8(process.readAllStandardError());
        return result;
    }

    // The windows of the tree with this WM_NAME (mapped or not), from xwininfo.
    QList<Window> windowsNamed(const QString& name, bool viewableOnly = false, bool partial = false)
    {
        QList<Window> found;
        const QString tree = x(QStringLiteral("xwininfo"), {QStringLiteral("-root"), QStringLiteral("-tree")}).out;
        static const QRegularExpression line(QStringLiteral(R"re(^\s*(0x[0-9a-f]+) "([^"]*)".*\s(\d+)x(\d+)\+-?\d+\+-?\d+\s+\+(-?\d+)\+(-?\d+)\s*$)re"));
        for (const QString& text : tree.split(QLatin1Char('\n'))) {
            const auto match = line.match(text);
            if (!match.hasMatch() || !(match.captured(2) == name || (partial && match.captured(2).contains(name))))
                continue;
            const Window window{match.captured(1), QRect(match.captured(5).toInt(), match.captured(6).toInt(),
                                                         match.captured(3).toInt(), match.captured(4).toInt())};
            if (viewableOnly && !isViewable(window.id))
                continue;
            found.append(window);
        }
        return found;
    }
    bool isViewable(const QString& id)
    {
        return x(QStringLiteral("xwininfo"), {QStringLiteral("-id"), id}).out.contains(QLatin1String("Map State: IsViewable"));
    }

    // The app's icon in the tray: its window inside trayer's panel.
    std::optional<Window> trayIcon()
    {
        const QList<Window> panels = windowsNamed(QStringLiteral("panel"));
        for (const Window& window : windowsNamed(QStringLiteral("mallowby"), true))
            for (const Window& panel : panels)
                if (panel.geometry.contains(window.geometry) && window.geometry.width() >= 16)
                    return window;
        return std::nullopt;
    }
    // The app's viewable windows other than the icon (the popover, a menu).
    QList<Window> appWindows()
    {
        QList<Window> result;
        const auto icon = trayIcon();
        for (const Window& window : windowsNamed(QStringLiteral("mallowby"), true))
            if (window.geometry.width() > 10 && window.geometry.height() > 10 && (!icon || window.id != icon->id))
                result.append(window);
        return result;
    }
    std::optional<Window> popover()
    {
        for (const Window& window : appWindows())
            if (window.geometry.width() == 340)
                return window;
        return std::nullopt;
    }
    std::optional<Window> menu()
    {
        for (const Window& window : appWindows())
            if (window.geometry.width() != 340)
                return window;
        return std::nullopt;
    }

    // Clicks are kept apart by more than the double-click interval: two quick presses on the
    // XEmbed icon make a double click, which Qt reports for the left button only.
    void click(const QPoint& at, int button, const QStringList& modifiers = {})
    {
        if (m_lastClick.isValid() && m_lastClick.elapsed() < 600)
            QThread::msleep(600 - m_lastClick.elapsed());
        m_lastClick.start();
        QStringList arguments{QStringLiteral("mousemove"), QString::number(at.x()), QString::number(at.y())};
        if (!modifiers.isEmpty())
            arguments << QStringLiteral("keydown") << modifiers.join(QLatin1Char('+'));
        arguments << QStringLiteral("click") << QString::number(button);
        if (!modifiers.isEmpty())
            arguments << QStringLiteral("keyup") << modifiers.join(QLatin1Char('+'));
        x(QStringLiteral("xdotool"), arguments);
    }
    void key(const QString& name) { x(QStringLiteral("xdotool"), {QStringLiteral("key"), name}); }

private:
    std::optional<QString> m_missing;
    QString m_display;
    QTemporaryDir m_home;
    QProcessEnvironment m_environment;
    QProcess m_xvfb;
    QProcess m_trayer;
    QProcess m_app;
    QElapsedTimer m_lastClick;
};

class Tray : public ::testing::Test {
protected:
    void SetUp() override
    {
        desktop = std::make_unique<TrayDesktop>();
        if (desktop->missing())
            GTEST_SKIP() << desktop->missing()->toStdString();
        desktop->startApp();
        ASSERT_TRUE(TestEnvironment::waitUntil([&] { return desktop->trayIcon().has_value(); }, 15s))
            << "the icon never appeared in the tray";
        // The icon widens once its first image is drawn; click where it settles.
        std::optional<Window> last;
        ASSERT_TRUE(TestEnvironment::waitUntil(
            [&] {
                const auto now = desktop->trayIcon();
                const bool settled = now && now == last;
                last = now;
                QThread::msleep(300);
                return settled;
            },
            10s));
        icon = *last;
    }
    std::unique_ptr<TrayDesktop> desktop;
    Window icon;
};

} // namespace

TEST_F(Tray, TheIconSitsInTheTrayAndALeftClickOpensThePopoverUnderIt)
{
    // As wide as the image asks for, at the height trayer gives.
    EXPECT_GE(icon.geometry.width(), 22);
    EXPECT_LE(icon.geometry.height(), 22);

    desktop->click(icon.geometry.center(), 1);
    ASSERT_TRUE(TestEnvironment::waitUntil([&] { return desktop->popover().has_value(); }, 5s))
        << "no popover among\n" << desktop->x("xwininfo", {"-root", "-tree"}).out.toStdString();
    const Window popover = *desktop->popover();
    EXPECT_GE(popover.geometry.top(), icon.geometry.bottom());
    EXPECT_LE(popover.geometry.top(), icon.geometry.bottom() + 10);
    EXPECT_LE(popover.geometry.right(), 1279);

    // Escape closes it; so does a second click on the icon.
    desktop->key(QStringLiteral("Escape"));
    ASSERT_TRUE(TestEnvironment::waitUntil([&] { return !desktop->popover().has_value(); }, 5s));
    desktop->click(icon.geometry.center(), 1);
    ASSERT_TRUE(TestEnvironment::waitUntil([&] { return desktop->popover().has_value(); }, 5s));
    QThread::msleep(500);
    desktop->click(icon.geometry.center(), 1);
    EXPECT_TRUE(TestEnvironment::waitUntil([&] { return !desktop->popover().has_value(); }, 5s));
    QThread::msleep(500);
    EXPECT_FALSE(desktop->popover().has_value()) << "the click that closed the popover opened it again";
}

TEST_F(Tray, ARightClickOrAControlClickOpensTheMenuWithItsItemsInOrder)
{
    desktop->click(icon.geometry.center(), 3);
    ASSERT_TRUE(TestEnvironment::waitUntil([&] { return desktop->menu().has_value(); }, 5s));
    const Window first = *desktop->menu();
    EXPECT_FALSE(desktop->popover().has_value());
    // Under the icon, tall enough for six items and a separator.
    EXPECT_GE(first.geometry.top(), icon.geometry.bottom());
    EXPECT_GE(first.geometry.height(), 6 * 18);
    desktop->key(QStringLiteral("Escape"));
    ASSERT_TRUE(TestEnvironment::waitUntil([&] { return !desktop->menu().has_value(); }, 5s));

    // The keyboard walks the enabled items; Eject All is not one without an external drive.
    // First: "Open mallowby".
    desktop->click(icon.geometry.center(), 1, {QStringLiteral("ctrl")});
    ASSERT_TRUE(TestEnvironment::waitUntil([&] { return desktop->menu().has_value(); }, 5s));
    EXPECT_FALSE(desktop->popover().has_value());
    EXPECT_EQ(desktop->menu()->geometry.size(), first.geometry.size());
    desktop->key(QStringLiteral("Down"));
    desktop->key(QStringLiteral("Return"));
    ASSERT_TRUE(TestEnvironment::waitUntil([&] { return desktop->popover().has_value(); }, 5s));
    desktop->key(QStringLiteral("Escape"));
    ASSERT_TRUE(TestEnvironment::waitUntil([&] { return !desktop->popover().has_value(); }, 5s));

    // Fourth: "Check for Updates…", which in a build without a feed finds nothing.
    desktop->click(icon.geometry.center(), 3);
    ASSERT_TRUE(TestEnvironment::waitUntil([&] { return desktop->menu().has_value(); }, 5s));
    for (int i = 0; i < 4; ++i)
        desktop->key(QStringLiteral("Down"));
    desktop->key(QStringLiteral("Return"));
    ASSERT_TRUE(TestEnvironment::waitUntil(
        [&] { return !desktop->windowsNamed(QStringLiteral("up to date!"), true, true).isEmpty(); }, 5s));
    desktop->key(QStringLiteral("Return"));
    ASSERT_TRUE(TestEnvironment::waitUntil(
        [&] { return desktop->windowsNamed(QStringLiteral("up to date!"), true, true).isEmpty(); }, 5s));

    // Up from the top wraps to the last item: "Quit mallowby".
    desktop->click(icon.geometry.center(), 3);
    ASSERT_TRUE(TestEnvironment::waitUntil([&] { return desktop->menu().has_value(); }, 5s))
        << "no menu among\n" << desktop->x("xwininfo", {"-root", "-tree"}).out.toStdString();
    desktop->key(QStringLiteral("Up"));
    desktop->key(QStringLiteral("Return"));
    ASSERT_TRUE(desktop->app().waitForFinished(10000)) << "the last item did not quit";
    EXPECT_EQ(desktop->app().exitStatus(), QProcess::NormalExit);
    EXPECT_EQ(desktop->app().exitCode(), 0);
}
