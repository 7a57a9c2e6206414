#pragma once

#include "support/HungMount.h"
#include "support/TestEnvironment.h"

#include <QDBusConnection>
#include <QDBusConnectionInterface>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QProcess>
#include <QRect>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QThread>

#include <csignal>

namespace mallowby::test {

using namespace std::chrono_literals;

// A window on the X display, in root coordinates.
struct Window {
    QString id;
    QRect geometry;
    bool operator==(const Window&) const = default;
};

// A headless X display (Xvfb) with a tray host, and the app started in it with its own settings
// folders: trayer's XEmbed tray (the app under a private session bus), or xfce4-panel's status
// tray on a session bus the panel and the app share. Everything is ended on destruction.
class TrayDesktop {
public:
    enum class Host { trayer, xfce };

    explicit TrayDesktop(Host host = Host::trayer) : m_host(host)
    {
        for (const char* tool : {"Xvfb", host == Host::xfce ? "xfce4-panel" : "trayer", "xdotool", "dbus-run-session"})
            if (QStandardPaths::findExecutable(tool).isEmpty()) {
                m_missing = QStringLiteral("%1 is not installed (scripts/install-deps installs it)").arg(tool);
                return;
            }
        m_environment = QProcessEnvironment::systemEnvironment();
        for (const char* key : {"WAYLAND_DISPLAY", "QT_QPA_PLATFORM", "MALLOWBY_DUMP_VOLUMES", "MALLOWBY_DUMP_RATES", "DBUS_SESSION_BUS_ADDRESS"})
            m_environment.remove(key);
        QDir(m_home.path()).mkpath("config"), QDir(m_home.path()).mkpath("runtime");
        QFile::setPermissions(m_home.filePath("runtime"), QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
        m_environment.insert("XDG_CONFIG_HOME", m_home.filePath("config"));
        m_environment.insert("XDG_RUNTIME_DIR", m_home.filePath("runtime"));
        // -displayfd: a free display, printed once the server takes clients; -noreset: no reset
        // when the last client leaves.
        m_xvfb.setProcessEnvironment(m_environment);
        m_xvfb.start("Xvfb", {"-displayfd", "1", "-screen", "0", "1280x800x24", "-nolisten", "tcp", "-noreset"});
        if (!m_xvfb.waitForStarted() || !TestEnvironment::waitUntil([&] { return m_xvfb.canReadLine(); }, 10s)) {
            m_failure = "Xvfb did not start: " + QString::fromUtf8(m_xvfb.readAllStandardError());
            return;
        }
        m_display = ":" + QString::fromUtf8(m_xvfb.readLine()).trimmed();
        m_environment.insert("DISPLAY", m_display);
        if (host == Host::xfce) {
            startPanel();
            return;
        }
        m_tray.setProcessEnvironment(m_environment);
        m_tray.start("trayer", {"--edge", "top", "--align", "right", "--widthtype", "request", "--height", "22",
                                "--SetDockType", "true", "--transparent", "false", "--tint", "0x333333"});
        if (!m_tray.waitForStarted() || !TestEnvironment::waitUntil([&] { return !windowsNamed("^panel$").isEmpty(); }, 10s))
            m_failure = QStringLiteral("trayer did not start on %1: %2").arg(m_display, QString::fromUtf8(m_tray.readAllStandardError()));
    }
    ~TrayDesktop()
    {
        stopApp();
        for (QProcess* process : {&m_tray, &m_bus, &m_xvfb})
            end(*process);
    }

    // A tool this needs is not installed; the display or the tray host did not come up.
    const std::optional<QString>& missing() const { return m_missing; }
    const std::optional<QString>& failure() const { return m_failure; }
    QProcess& app() { return m_app; }

    // Starts the app and answers its icon once it has taken its width (it widens when its first
    // image is drawn): the same in two looks 300 ms apart. In xfce the icon is the panel's.
    std::optional<QRect> startApp(const QList<std::pair<QString, QString>>& extra = {})
    {
        QProcessEnvironment environment = m_environment;
        for (const auto& [key, value] : extra)
            environment.insert(key, value);
        m_app.setProcessEnvironment(environment);
        m_app.setProcessChannelMode(QProcess::ForwardedErrorChannel);
        m_answers.clear();
        if (m_host == Host::xfce) {
            m_app.start(TestEnvironment::mallowbyBinary(), {});
            return std::nullopt;  // its icon is the panel's
        }
        m_app.start("dbus-run-session", {"--config-file=" + TestEnvironment::dataPath("session-bus.conf"), "--", TestEnvironment::mallowbyBinary()});
        std::optional<Window> last;
        const bool settled = TestEnvironment::waitUntil([&] {
            const auto now = trayIcon();
            const bool same = now && now == last;
            last = now;
            QThread::msleep(300);
            return same;
        }, 25s);
        return settled ? std::optional(last->geometry) : std::nullopt;
    }
    // The app first (the session ends with it), then the session runner if need be.
    void stopApp()
    {
        for (qint64 child : m_app.state() == QProcess::NotRunning ? QList<qint64>{} : childrenOf(m_app.processId()))
            ::kill(pid_t(child), SIGTERM);
        if (!m_app.waitForFinished(5000))
            end(m_app);
    }
    // The app's own process under the session bus runner, or 0.
    qint64 appPid()
    {
        for (qint64 child : childrenOf(m_app.processId()))
            if (QFile comm(QStringLiteral("/proc/%1/comm").arg(child)); comm.open(QIODevice::ReadOnly) && comm.readAll().trimmed() == "mallowby")
                return child;
        return 0;
    }

    // Asks an app started with MALLOWBY_ACCESSIBILITY_DRIVER a command and answers its reply's
    // fields after the driver's tag (none within 5 s). Untagged lines are not the driver's:
    // services the session bus started share the app's output.
    QStringList ask(const QString& command)
    {
        static const QString tag = "mallowby-driver\t";
        m_app.write(command.toUtf8() + '\n');
        m_app.waitForBytesWritten(1000);
        QString line;
        TestEnvironment::waitUntil([&] {
            m_answers += QString::fromUtf8(m_app.readAllStandardOutput());
            for (qsizetype end; !line.startsWith(tag) && (end = m_answers.indexOf('\n')) >= 0; m_answers.remove(0, end + 1))
                line = m_answers.left(end);
            return line.startsWith(tag);
        }, 5s);
        return line.startsWith(tag) ? line.mid(tag.size()).split('\t') : QStringList();
    }
    QStringList accessibleNames() { return ask("names").mid(1); }
    // Presses a control by its accessible name: true when the app found it enabled.
    bool press(const QString& name) { return ask("press " + name).value(0) == "pressed"; }
    // Writes a line into the app's output as a process sharing it would.
    void writeToAppOutput(const QByteArray& line)
    {
        if (QFile out(QStringLiteral("/proc/%1/fd/1").arg(m_app.processId())); out.open(QIODevice::WriteOnly | QIODevice::Append))
            out.write(line + '\n');
    }

    // Starts the program once more in the app's session (its display, and the session bus that
    // dbus-run-session handed to the app only) and waits for it to end.
    TestEnvironment::Result launchAgain()
    {
        QProcessEnvironment environment = m_environment;
        QFile environ(QStringLiteral("/proc/%1/environ").arg(appPid()));
        for (const QByteArray& entry : environ.open(QIODevice::ReadOnly) ? environ.readAll().split('\0') : QByteArrayList())
            if (entry.startsWith("DBUS_SESSION_BUS_ADDRESS="))
                environment.insert("DBUS_SESSION_BUS_ADDRESS", QString::fromUtf8(entry.mid(25)));
        return environment.contains("DBUS_SESSION_BUS_ADDRESS") ? run(environment, TestEnvironment::mallowbyBinary(), {}) : TestEnvironment::Result{};
    }

    // The viewable windows that xdotool finds with these search options.
    QList<Window> search(const QStringList& options)
    {
        QList<Window> found;
        for (const QString& id : xdotool(QStringList{"search", "--onlyvisible"} + options).split('\n', Qt::SkipEmptyParts)) {
            QHash<QString, int> fields;
            for (const QString& line : xdotool({"getwindowgeometry", "--shell", id}).split('\n', Qt::SkipEmptyParts))
                fields.insert(line.section('=', 0, 0), line.section('=', 1).toInt());
            if (fields.contains("WIDTH"))
                found.append({id, QRect(fields.value("X"), fields.value("Y"), fields.value("WIDTH"), fields.value("HEIGHT"))});
        }
        return found;
    }
    QList<Window> windowsNamed(const QString& pattern) { return search({"--name", pattern}); }
    // The app's icon: its window inside trayer's panel.
    std::optional<Window> trayIcon()
    {
        const QList<Window> panels = windowsNamed("^panel$");
        for (const Window& window : search({"--classname", "^mallowby$"}))
            for (const Window& panel : panels)
                if (panel.geometry.contains(window.geometry) && window.geometry.width() >= 16)
                    return window;
        return std::nullopt;
    }
    // The app's viewable windows other than the icon: the popover (340 wide), or a menu.
    QList<Window> appWindows()
    {
        const auto icon = trayIcon();
        QList<Window> result = search({"--classname", "^mallowby$"});
        result.removeIf([&](const Window& w) { return w.geometry.width() <= 10 || w.geometry.height() <= 10 || (icon && w.id == icon->id); });
        return result;
    }
    std::optional<Window> appWindow(bool popover)
    {
        for (const Window& window : appWindows())
            if ((window.geometry.width() == 340) == popover)
                return window;
        return std::nullopt;
    }
    // Waits until the popover (or a menu) is shown, or with `shown` false, gone.
    bool waitForWindow(bool popover, bool shown = true) { return TestEnvironment::waitUntil([&] { return appWindow(popover).has_value() == shown; }, 10s); }

    // Clicks are kept apart by more than the double-click interval: two quick presses on the
    // XEmbed icon make a double click, which Qt reports for the left button only.
    void click(const QPoint& at, int button, const QString& modifier = {})
    {
        if (m_lastClick.isValid() && m_lastClick.elapsed() < 600)
            QThread::msleep(600 - m_lastClick.elapsed());
        m_lastClick.start();
        const QStringList down = modifier.isEmpty() ? QStringList() : QStringList{"keydown", modifier};
        const QStringList up = modifier.isEmpty() ? QStringList() : QStringList{"keyup", modifier};
        xdotool(QStringList{"mousemove", QString::number(at.x()), QString::number(at.y())} + down + QStringList{"click", QString::number(button)} + up);
    }
    void key(const QString& name) { xdotool({"key", name}); }

    // The session bus the xfce panel and the app share.
    QDBusConnection bus()
    {
        QDBusConnection connection = QDBusConnection::connectToBus(m_environment.value("DBUS_SESSION_BUS_ADDRESS"), m_display);
        if (!connection.isConnected())  // not up yet: the next call tries again
            QDBusConnection::disconnectFromBus(m_display);
        return connection;
    }
    std::optional<Window> panel()
    {
        const QList<Window> found = search({"--class", "^Xfce4-panel$"});
        return found.isEmpty() ? std::nullopt : std::optional(found.first());
    }

private:
    static void end(QProcess& process)
    {
        process.terminate();
        if (!process.waitForFinished(5000))
            process.kill(), process.waitForFinished(5000);
    }
    static TestEnvironment::Result run(const QProcessEnvironment& environment, const QString& program, const QStringList& arguments)
    {
        QProcess process;
        process.setProcessEnvironment(environment);
        process.start(program, arguments);
        if (!process.waitForFinished(15000)) {
            end(process);
            return {};
        }
        return {.exitCode = process.exitStatus() == QProcess::NormalExit ? process.exitCode() : -1,
                .out = QString::fromUtf8(process.readAllStandardOutput()), .err = QString::fromUtf8(process.readAllStandardError())};
    }
    QString xdotool(const QStringList& arguments) { return run(m_environment, "xdotool", arguments).out; }

    // A session bus, and xfce4-panel with one top panel: a spacer and the status tray at its right end.
    void startPanel()
    {
        const QString address = "unix:path=" + m_home.filePath("runtime/bus");
        m_environment.insert("DBUS_SESSION_BUS_ADDRESS", address);
        m_environment.insert("XDG_CURRENT_DESKTOP", "XFCE");
        m_bus.setProcessEnvironment(m_environment);  // what it starts (xfconfd) reads this config
        m_bus.start("dbus-daemon", {"--session", "--nofork", "--nopidfile", "--address=" + address});
        const QString channels = m_home.filePath("config/xfce4/xfconf/xfce-perchannel-xml");
        QDir().mkpath(channels);
        QFile layout(channels + "/xfce4-panel.xml");
        if (layout.open(QIODevice::WriteOnly))
            layout.write(R"(<?xml version="1.0" encoding="UTF-8"?>
<channel name="xfce4-panel" version="1.0"><property name="configver" type="int" value="2"/>
  <property name="panels" type="array"><value type="int" value="1"/>
    <property name="panel-1" type="empty">
      <property name="position" type="string" value="p=6;x=0;y=0"/><property name="length" type="uint" value="100"/>
      <property name="size" type="uint" value="28"/>
      <property name="plugin-ids" type="array"><value type="int" value="1"/><value type="int" value="2"/></property>
    </property></property>
  <property name="plugins" type="empty">
    <property name="plugin-1" type="string" value="separator"><property name="expand" type="bool" value="true"/></property>
    <property name="plugin-2" type="string" value="systray"><property name="square-icons" type="bool" value="true"/></property>
  </property></channel>
)");
        layout.close();
        m_environment.insert("QT_QPA_PLATFORM", "xcb");
        m_tray.setProcessEnvironment(m_environment);
        m_tray.start("xfce4-panel", {"--disable-wm-check"});
        const auto watching = [&] { return bus().isConnected() && bus().interface()->isServiceRegistered("org.kde.StatusNotifierWatcher").value(); };
        if (!m_bus.waitForStarted() || !m_tray.waitForStarted() || !TestEnvironment::waitUntil(watching, 30s) || !panel())
            m_failure = QStringLiteral("xfce4-panel did not start its status tray on %1: %2")
                            .arg(m_display, QString::fromUtf8(m_tray.readAllStandardError()).left(2000));
    }

    Host m_host;
    std::optional<QString> m_missing, m_failure;
    QString m_display, m_answers;
    QTemporaryDir m_home;
    QProcessEnvironment m_environment;
    QProcess m_xvfb, m_tray, m_bus, m_app;
    QElapsedTimer m_lastClick;
};

} // namespace mallowby::test
