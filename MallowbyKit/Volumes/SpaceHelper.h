#pragma once

#include "Volumes/Space.h"

#include <QByteArray>
#include <QObject>
#include <QString>

#include <functional>
#include <optional>

class QSocketNotifier;

namespace mallowby {

// One mallowby-space process, which runs capacity reads for this one, one at a time, so that a
// read stuck on a dead mount holds up that process and never a thread of ours. Main thread only.
//
// Each read ends exactly once: with the helper's answer, or with none once the process is gone
// (it died, answered garbage, or was abandoned). An abandoned helper is killed and never waited
// for: it is reaped whenever it finishes dying, which a hung mount can put off indefinitely.
class SpaceHelper : public QObject {
    Q_OBJECT
public:
    using Answer = std::function<void(std::optional<Space>)>;

    // An idle helper of the program, or a new one; none when none can be started.
    static SpaceHelper* acquire(const QString& program);
    // Idle helpers kept for later reads; further ones are let go.
    static constexpr qsizetype idleLimit = 4;

    // The helper this program starts: set by tests, otherwise mallowby-space beside the
    // application's binary or in ../libexec/mallowby/ from there.
    static QString program();
    static void setProgram(const QString& program);

    // Starts the read of `path`; `answer` is called once, on this thread, never from within.
    void ask(const QString& path, Answer answer);
    // Gives up on the read under way: the helper is closed and killed, and its read ends (with
    // no answer) once the process is gone.
    void abandon();

    qint64 pid() const { return m_pid; }

    // One answer line without its line break: the figures, none for a failed read, or none at
    // all for anything else.
    static std::optional<std::optional<Space>> parse(const QByteArray& line);

private:
    SpaceHelper(QString program, qint64 pid, int socket, int pidfd);
    ~SpaceHelper() override;

    void readAnswer();
    // The helper can serve no further read: its socket is closed and it is killed.
    void breakOff();
    void reap();
    void recycle();
    // No further request: out of the idle list, socket closed.
    void closeSocket();
    void kill();
    // On the way out: idle helpers are ended and reaped, busy ones killed.
    static void endAll();

    QString m_program;
    qint64 m_pid;  // 0 once reaped
    int m_socket;
    int m_pidfd;
    QSocketNotifier* m_socketNotifier;
    QSocketNotifier* m_exitNotifier;
    QByteArray m_buffer;
    Answer m_answer;  // set while a read is under way
};

} // namespace mallowby
