#include "Volumes/SpaceHelper.h"

#include <QCoreApplication>
#include "Support/FilePath.h"

#include <QFile>
#include <QFileInfo>
#include <QList>
#include <QSocketNotifier>

#include <algorithm>
#include <cerrno>
#include <csignal>

#include <fcntl.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

extern char** environ;

namespace mallowby {

namespace {

// An answer is one short line; anything longer is garbage.
constexpr qsizetype maxAnswerLength = 64;

QList<SpaceHelper*>& idleHelpers()
{
    static QList<SpaceHelper*> helpers;
    return helpers;
}

QList<SpaceHelper*>& liveHelpers()
{
    static QList<SpaceHelper*> helpers;
    return helpers;
}

QString& chosenProgram()
{
    static QString program;
    return program;
}

// A non-negative decimal number that fits in 64 bits, digits only.
std::optional<qint64> decimal(const QByteArray& text)
{
    if (text.isEmpty() || !std::all_of(text.cbegin(), text.cend(), [](char c) { return c >= '0' && c <= '9'; }))
        return std::nullopt;
    bool ok = false;
    const qint64 value = text.toLongLong(&ok);
    return ok ? std::optional(value) : std::nullopt;
}

// Starts the program with one end of a socket pair as its standard input and output, in a
// process group of its own (a terminal's Ctrl+C is for mallowby), with no other descriptor of
// ours (a helper stuck on a mount must not hold our display connection open).
pid_t spawn(const QString& program, int socket)
{
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, socket, STDIN_FILENO);
    posix_spawn_file_actions_adddup2(&actions, socket, STDOUT_FILENO);
    posix_spawn_file_actions_addclosefrom_np(&actions, STDERR_FILENO + 1);
    posix_spawn_file_actions_addchdir_np(&actions, "/");  // never holding the folder we were started in
    posix_spawnattr_t attributes;
    posix_spawnattr_init(&attributes);
    sigset_t none;
    sigemptyset(&none);
    sigset_t defaults;
    sigemptyset(&defaults);
    for (int signal : {SIGPIPE, SIGINT, SIGTERM, SIGHUP, SIGCHLD})
        sigaddset(&defaults, signal);
    posix_spawnattr_setsigmask(&attributes, &none);
    posix_spawnattr_setsigdefault(&attributes, &defaults);
    posix_spawnattr_setpgroup(&attributes, 0);
    posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF | POSIX_SPAWN_SETPGROUP);

    const QByteArray path = QFile::encodeName(program);
    char* const argv[] = {const_cast<char*>(path.constData()), nullptr};
    pid_t pid = -1;
    if (posix_spawn(&pid, path.constData(), &actions, &attributes, argv, environ) != 0)
        pid = -1;
    posix_spawnattr_destroy(&attributes);
    posix_spawn_file_actions_destroy(&actions);
    return pid;
}

} // namespace

QString SpaceHelper::program()
{
    QString& program = chosenProgram();
    if (program.isEmpty()) {
        const QString dir = QCoreApplication::applicationDirPath();
        const QStringList candidates{dir + QStringLiteral("/mallowby-space"),
                                     dir + QStringLiteral("/../libexec/mallowby/mallowby-space")};
        const auto found = std::find_if(candidates.cbegin(), candidates.cend(),
                                        [](const QString& path) { return QFileInfo(path).isExecutable(); });
        program = found != candidates.cend() ? *found : candidates.first();
    }
    return program;
}

void SpaceHelper::setProgram(const QString& program)
{
    chosenProgram() = program;
}

SpaceHelper* SpaceHelper::acquire(const QString& program)
{
    // The helper idle the shortest time first.
    QList<SpaceHelper*>& idle = idleHelpers();
    for (qsizetype i = idle.size() - 1; i >= 0; --i)
        if (idle[i]->m_program == program)
            return idle.takeAt(i);

    int sockets[2];
    if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, sockets) != 0)
        return nullptr;
    const pid_t pid = spawn(program, sockets[1]);
    ::close(sockets[1]);
    if (pid <= 0) {
        ::close(sockets[0]);
        return nullptr;
    }
    const int pidfd = int(::syscall(SYS_pidfd_open, pid, 0));
    if (pidfd < 0) {
        // Without a pidfd it could not be reaped later. It has been asked nothing yet, so it
        // waits on no mount and dies at once.
        ::close(sockets[0]);
        ::kill(pid, SIGKILL);
        ::waitpid(pid, nullptr, 0);
        return nullptr;
    }
    ::fcntl(sockets[0], F_SETFL, ::fcntl(sockets[0], F_GETFL) | O_NONBLOCK);
    return new SpaceHelper(program, pid, sockets[0], pidfd);
}

SpaceHelper::SpaceHelper(QString program, qint64 pid, int socket, int pidfd)
    : m_program(std::move(program)), m_pid(pid), m_socket(socket), m_pidfd(pidfd),
      m_socketNotifier(new QSocketNotifier(socket, QSocketNotifier::Read, this)),
      m_exitNotifier(new QSocketNotifier(pidfd, QSocketNotifier::Read, this))
{
    connect(m_socketNotifier, &QSocketNotifier::activated, this, &SpaceHelper::readAnswer);
    connect(m_exitNotifier, &QSocketNotifier::activated, this, &SpaceHelper::reap);
    static const bool endsWithTheApp =
        connect(QCoreApplication::instance(), &QCoreApplication::aboutToQuit, &SpaceHelper::endAll);
    Q_UNUSED(endsWithTheApp);
    liveHelpers().append(this);
}

void SpaceHelper::endAll()
{
    // Idle helpers wait in a read of their socket, which SIGKILL ends at once: they are reaped
    // here rather than left to whoever inherits them. Busy ones may be stuck on a mount.
    for (SpaceHelper* helper : std::as_const(idleHelpers())) {
        helper->kill();
        ::waitpid(pid_t(std::exchange(helper->m_pid, 0)), nullptr, 0);
    }
    idleHelpers().clear();
    for (SpaceHelper* helper : std::as_const(liveHelpers()))
        helper->kill();
}

SpaceHelper::~SpaceHelper()
{
    idleHelpers().removeAll(this);
    liveHelpers().removeAll(this);
    if (m_socket >= 0)
        ::close(m_socket);
    if (m_pidfd >= 0)
        ::close(m_pidfd);
}

void SpaceHelper::ask(const QString& path, Answer answer)
{
    m_answer = std::move(answer);
    const QByteArray request = FilePath::encode(path) + '\0';
    qsizetype sent = 0;
    while (m_socket >= 0 && sent < request.size()) {
        const ssize_t count = ::send(m_socket, request.constData() + sent, size_t(request.size() - sent), MSG_NOSIGNAL);
        if (count > 0)
            sent += count;
        else if (count < 0 && errno == EINTR)
            continue;
        else
            break;  // gone, or a full socket that an idle helper never has
    }
    if (sent < request.size())
        abandon();
}

void SpaceHelper::readAnswer()
{
    bool ended = false;
    char chunk[256];
    for (;;) {
        const ssize_t count = ::read(m_socket, chunk, sizeof chunk);
        if (count > 0) {
            m_buffer.append(chunk, count);
            if (m_buffer.size() > maxAnswerLength)
                break;
        } else if (count < 0 && errno == EINTR) {
            continue;
        } else {
            ended = count == 0 || errno != EAGAIN;
            break;
        }
    }

    const qsizetype end = m_buffer.indexOf('\n');
    if (!m_answer || (end < 0 && m_buffer.size() > maxAnswerLength)) {
        if (!m_buffer.isEmpty() || ended)
            abandon();  // talks out of turn, or says too much
        return;
    }
    if (end < 0) {
        if (ended)
            abandon();
        return;
    }
    const auto answer = end == m_buffer.size() - 1 ? parse(m_buffer.left(end)) : std::nullopt;
    if (!answer) {
        abandon();
        return;
    }
    m_buffer.clear();
    Answer reply = std::exchange(m_answer, {});
    if (ended)
        abandon();
    else
        recycle();
    reply(*answer);
}

void SpaceHelper::recycle()
{
    QList<SpaceHelper*>& idle = idleHelpers();
    if (idle.size() < idleLimit) {
        idle.append(this);
        return;
    }
    closeSocket();  // let go: at the end of its input it ends by itself
}

void SpaceHelper::closeSocket()
{
    idleHelpers().removeAll(this);
    if (m_socket >= 0) {
        m_socketNotifier->setEnabled(false);
        ::close(std::exchange(m_socket, -1));
    }
}

void SpaceHelper::abandon()
{
    closeSocket();
    kill();
}

void SpaceHelper::kill()
{
    // Until reaped, the pid is still this helper's.
    if (m_pid > 0)
        ::kill(pid_t(m_pid), SIGKILL);
}

void SpaceHelper::reap()
{
    if (m_pid > 0 && ::waitpid(pid_t(m_pid), nullptr, WNOHANG) == 0)
        return;  // not gone yet
    m_pid = 0;
    m_exitNotifier->setEnabled(false);
    closeSocket();
    deleteLater();
    if (Answer reply = std::exchange(m_answer, {}))
        reply(std::nullopt);
}

std::optional<std::optional<Space>> SpaceHelper::parse(const QByteArray& line)
{
    const QList<QByteArray> fields = line.split(' ');
    if (fields.size() != 2)
        return std::nullopt;
    if (fields[0] == "error")
        return decimal(fields[1]) ? std::optional<std::optional<Space>>(std::optional<Space>()) : std::nullopt;
    const auto total = decimal(fields[0]);
    const auto available = decimal(fields[1]);
    if (!total || !available)
        return std::nullopt;
    return std::optional<Space>(Space{*total, *available, *available, false});
}

} // namespace mallowby
