#include "support/AppProcess.h"

#include "support/TestEnvironment.h"

#include <QDir>
#include <QFile>

namespace mallowby::test {

AppProcess::AppProcess(const QList<std::pair<QString, QString>>& environment, const QByteArray& settings)
{
    auto env = QProcessEnvironment::systemEnvironment();
    for (const QString& key : env.keys())
        if (key.startsWith(QLatin1String("MALLOWBY_")))
            env.remove(key);
    for (const char* key : {"DISPLAY", "WAYLAND_DISPLAY", "DBUS_SESSION_BUS_ADDRESS"})
        env.remove(QString::fromLatin1(key));
    env.insert(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("offscreen"));
    QDir(m_home.path()).mkpath(QStringLiteral("config/mallowby"));
    QDir(m_home.path()).mkpath(QStringLiteral("runtime"));
    if (!settings.isEmpty()) {
        QFile file(m_home.filePath(QStringLiteral("config/mallowby/mallowby.conf")));
        if (file.open(QIODevice::WriteOnly))
            file.write(settings);
    }
    QFile::setPermissions(m_home.filePath(QStringLiteral("runtime")), QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
    env.insert(QStringLiteral("XDG_CONFIG_HOME"), m_home.filePath(QStringLiteral("config")));
    env.insert(QStringLiteral("XDG_RUNTIME_DIR"), m_home.filePath(QStringLiteral("runtime")));
    for (const auto& [key, value] : environment)
        env.insert(key, value);
    m_process.setProcessEnvironment(env);
    m_process.start(TestEnvironment::mallowbyBinary(), {});
}

AppProcess::~AppProcess()
{
    stop();
}

void AppProcess::stop()
{
    if (m_process.state() != QProcess::NotRunning) {
        m_process.terminate();
        if (!m_process.waitForFinished(5000)) {
            m_process.kill();
            m_process.waitForFinished(5000);
        }
    }
}

QStringList AppProcess::lines()
{
    m_out += QString::fromUtf8(m_process.readAllStandardOutput());
    return m_out.split(QLatin1Char('\n'), Qt::SkipEmptyParts);
}

QString AppProcess::waitForLine(const std::function<bool(const QString&)>& condition, std::chrono::milliseconds timeout)
{
    QString found;
    TestEnvironment::waitUntil(
        [&] {
            for (const QString& line : lines())
                if (condition(line)) {
                    found = line;
                    return true;
                }
            return false;
        },
        timeout);
    return found;
}

} // namespace mallowby::test
