#include "support/AppProcess.h"

#include "support/TestEnvironment.h"

#include <QDir>
#include <QFile>

namespace mallowby::test {

AppProcess::AppProcess(const QList<std::pair<QString, QString>>& environment, const QByteArray& settings)
{
    auto env = QProcessEnvironment::systemEnvironment();
    for (const QString& key : env.keys())
        if (key.startsWith("MALLOWBY_") || key == "DISPLAY" || key == "WAYLAND_DISPLAY" || key == "DBUS_SESSION_BUS_ADDRESS")
            env.remove(key);
    env.insert("QT_QPA_PLATFORM", "offscreen");
    env.insert("XDG_CONFIG_HOME", m_home.filePath("config"));
    env.insert("XDG_RUNTIME_DIR", m_home.filePath("runtime"));
    for (const auto& [key, value] : environment)
        env.insert(key, value);
    QDir(m_home.path()).mkpath("config/mallowby");
    QDir(m_home.path()).mkpath("runtime");
    QFile::setPermissions(m_home.filePath("runtime"), QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
    QFile file(m_home.filePath("config/mallowby/mallowby.conf"));
    if (!settings.isEmpty() && file.open(QIODevice::WriteOnly))
        file.write(settings);
    file.close();
    m_process.setProcessEnvironment(env);
    m_process.start(TestEnvironment::mallowbyBinary(), {});
}

void AppProcess::stop()
{
    if (m_process.state() == QProcess::NotRunning)
        return;
    m_process.terminate();
    if (!m_process.waitForFinished(5000)) {
        m_process.kill();
        m_process.waitForFinished(5000);
    }
}

QStringList AppProcess::lines()
{
    m_out += QString::fromUtf8(m_process.readAllStandardOutput());
    return m_out.split('\n', Qt::SkipEmptyParts);
}

QString AppProcess::waitForLine(const std::function<bool(const QString&)>& condition, std::chrono::milliseconds timeout)
{
    QString found;
    TestEnvironment::waitUntil(
        [&] {
            const QStringList now = lines();
            const auto line = std::find_if(now.cbegin(), now.cend(), condition);
            found = line == now.cend() ? QString() : *line;
            return !found.isEmpty();
        },
        timeout);
    return found;
}

} // namespace mallowby::test
