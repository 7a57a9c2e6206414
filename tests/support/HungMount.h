#pragma once

#include <QProcess>
#include <QString>
#include <QTemporaryDir>

#include <optional>

namespace mallowby::test {

// hangfs mounted on a fresh folder whose name has a space. With no argument its statfs never
// answers, as a share whose server went away; with "absurd" it answers figures past 64 bits;
// with a program's path it serves a copy of it as /prog until stall(). The connection is aborted
// on destruction (the server is killed), so whatever still waits on it finishes.
class HungMount {
public:
    explicit HungMount(const QString& argument = {});
    ~HungMount() { abort(); }

    static std::optional<QString> missing();  // why it cannot be mounted here (not root, no FUSE)

    bool isMounted() const;
    QString path() const { return m_path; }
    QString error() const { return m_error; }
    void stall();  // from now on every request to it waits forever
    // Aborts the connection: every call waiting on the mount returns, and the mount goes.
    void abort();

private:
    QTemporaryDir m_dir;
    QString m_path;
    QProcess m_server;
    QString m_error;
};

// The states of a process's threads (R, S, D, Z…), one letter each; empty once it is gone.
QString threadStates(qint64 pid);
// The process ids of a process's children.
QList<qint64> childrenOf(qint64 pid);

} // namespace mallowby::test
