#pragma once

#include <QProcess>
#include <QString>
#include <QTemporaryDir>

#include <optional>

namespace mallowby::test {

// A FUSE file system whose statfs never answers (hangfs), mounted on a fresh folder whose name
// has a space, as a share whose server went away; or one whose statfs answers absurd figures.
// Its connection is aborted on destruction (the server is killed), so whatever still waits on
// it finishes.
class HungMount {
public:
    enum class Statfs { never, absurd };
    explicit HungMount(Statfs statfs = Statfs::never);
    ~HungMount();

    // Why it cannot be mounted here (not root, no FUSE), or none.
    static std::optional<QString> missing();

    bool isMounted() const;
    QString path() const { return m_path; }
    QString error() const { return m_error; }
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
