#pragma once

#include <QProcess>
#include <QStringList>
#include <QTemporaryDir>

#include <chrono>
#include <functional>

namespace mallowby::test {

// The mallowby binary run as a user would, with no display of its own (offscreen), no session
// bus, its own settings and runtime folders, the given settings file text and extra environment
// variables. Ended on destruction.
class AppProcess {
public:
    explicit AppProcess(const QList<std::pair<QString, QString>>& environment, const QByteArray& settings = {});
    ~AppProcess() { stop(); }

    QString homePath(const QString& relative) const { return m_home.filePath(relative); }
    // Asks the app to quit, and kills it when it does not within 5 seconds.
    void stop();
    QStringList lines();  // printed so far
    // Waits until some printed line satisfies the condition; answers that line, or an empty text.
    QString waitForLine(const std::function<bool(const QString&)>& condition, std::chrono::milliseconds timeout);
    QProcess& process() { return m_process; }

private:
    QTemporaryDir m_home;
    QProcess m_process;
    QString m_out;
};

} // namespace mallowby::test
