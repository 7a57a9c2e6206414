#include "Platform/Linux/LinuxMountTable.h"
#include "Platform/Linux/UDisks2Service.h"
#include "Support/FilePath.h"
#include "Volumes/VolumeStore.h"

#include "support/LoopImage.h"
#include "support/TestEnvironment.h"

#include <QFileInfo>
#include <QScopeGuard>
#include <QTemporaryDir>

#include <gtest/gtest.h>

#include <csignal>
#include <cstring>
#include <fcntl.h>
#include <poll.h>
#include <spawn.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

extern char** environ;

using namespace mallowby;
using namespace mallowby::test;
using namespace std::chrono_literals;

namespace {

// Starts a program with argument and environment bytes as given (QProcess would take them as
// UTF-8 text), in `folder`; its standard output goes to `out` when given.
pid_t spawn(const QByteArrayList& argv, const QByteArrayList& env, const QByteArray& folder, int* out = nullptr)
{
    QList<char*> args, vars;
    for (const QByteArray& a : argv)
        args.append(const_cast<char*>(a.constData()));
    for (const QByteArray& v : env)
        vars.append(const_cast<char*>(v.constData()));
    args.append(nullptr);
    vars.append(nullptr);
    int pipe[2] = {-1, -1};
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addchdir_np(&actions, folder.constData());
    if (out && ::pipe2(pipe, O_CLOEXEC) == 0)
        posix_spawn_file_actions_adddup2(&actions, pipe[1], STDOUT_FILENO);
    pid_t pid = -1;
    if (posix_spawn(&pid, args[0], &actions, nullptr, args.data(), vars.data()) != 0)
        pid = -1;
    posix_spawn_file_actions_destroy(&actions);
    if (out) {
        ::close(pipe[1]);
        *out = pipe[0];
    }
    return pid;
}

// Runs the app with one more variable until it has printed a line starting with `until` (or has
// ended, for an empty `until`); answers what it printed.
QByteArray runApp(const QByteArray& variable, const QByteArray& until)
{
    QTemporaryDir home;
    QByteArrayList env{"QT_QPA_PLATFORM=offscreen", "XDG_CONFIG_HOME=" + home.path().toUtf8(),
                       "XDG_RUNTIME_DIR=" + home.path().toUtf8(), variable};
    for (char** entry = environ; *entry; ++entry)
        if (const QByteArray e(*entry); e.startsWith("PATH=") || e.startsWith("HOME="))
            env.append(e);
    int fd = -1;
    const pid_t pid = spawn({TestEnvironment::mallowbyBinary().toUtf8()}, env, "/", &fd);
    QByteArray out;
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(30);
    pollfd p{fd, POLLIN, 0};
    while (pid > 0 && std::chrono::steady_clock::now() < deadline && ::poll(&p, 1, 1000) >= 0) {
        char buffer[4096];
        const ssize_t n = p.revents ? ::read(fd, buffer, sizeof buffer) : 0;
        if (n < 0 || (p.revents && n == 0))
            break;
        out.append(buffer, n);
        if (!until.isEmpty() && (out.startsWith(until) || out.contains("\n" + until)) && out.endsWith('\n'))
            break;
    }
    ::kill(pid, SIGTERM);
    ::waitpid(pid, nullptr, 0);
    ::close(fd);
    return out;
}

bool isMountPoint(const QByteArray& path)
{
    struct stat self{}, parent{};
    return ::stat(path.constData(), &self) == 0 && ::stat((path + "/..").constData(), &parent) == 0 && self.st_dev != parent.st_dev;
}

} // namespace

// A drive mounted at a path that is not UTF-8 (a Latin-1 label): its figures are read, the scan
// names what holds it, it ejects idle as an image does, and the path is printed as the same bytes;
// a share mounted there unmounts.
TEST(PathBytes, ALatin1MountPointHasFiguresHoldersAndEjects)
{
    if (const auto missing = TestEnvironment::missingForEjects())
        GTEST_SKIP() << missing->toStdString();
    LoopImage image(QStringLiteral("Bytes"));
    ASSERT_TRUE(image.isReady()) << image.error().toStdString();
    const QByteArray path = QFile::encodeName(QFileInfo(image.imagePath()).path()) + "/caf\xe9";
    ASSERT_EQ(::mkdir(path.constData(), 0755), 0);
    ASSERT_EQ(::mount(image.device().toUtf8().constData(), path.constData(), "ext4", 0, nullptr), 0) << strerror(errno);
    const auto cleanup = qScopeGuard([&] {
        if (isMountPoint(path))
            ::umount2(path.constData(), MNT_DETACH);
        ::rmdir(path.constData());  // QTemporaryDir cannot name it
    });

    const QByteArray volumes = runApp("MALLOWBY_DUMP_VOLUMES=1", {});
    const QByteArrayList lines = volumes.split('\n');
    const auto row = std::find_if(lines.cbegin(), lines.cend(), [&](const QByteArray& line) { return line.endsWith('\t' + path); });
    ASSERT_NE(row, lines.cend()) << volumes.toStdString();
    const QByteArrayList fields = row->split('\t');
    EXPECT_NE(fields.value(4), "-") << row->toStdString();  // total
    EXPECT_NE(fields.value(5), "-") << row->toStdString();  // available

    const pid_t holder = spawn({"/bin/sleep", "300"}, {}, path);
    ASSERT_GT(holder, 0);
    const QByteArray held = QByteArray::number(holder) + " sleep - false [\"working directory " + path + "\"]\n";
    EXPECT_TRUE(runApp("MALLOWBY_INSPECT=" + path, QByteArray::number(holder)).contains(held));
    ::kill(holder, SIGKILL);
    ::waitpid(holder, nullptr, 0);

    // Idle, it ejects and its loop device goes.
    ASSERT_TRUE(image.waitForUdisks());
    EXPECT_EQ(runApp("MALLOWBY_EJECT=" + path, "scan:"), "ejected: true -\nscan: 0 processes, 0.0 seconds\n");
    EXPECT_FALSE(isMountPoint(path));
    EXPECT_TRUE(TestEnvironment::waitUntil([&] { return !image.isAttached(); }, 5s));
    if (!image.isAttached())
        image.markEjected();

    // A share mounted there unmounts through its command, given the path's bytes.
    ASSERT_EQ(::mount("share", path.constData(), "tmpfs", 0, nullptr), 0) << strerror(errno);
    const auto mounts = VolumeStore::Mount::current(LinuxMountTable(), true);
    const auto share = std::find_if(mounts.cbegin(), mounts.cend(), [&](const auto& m) { return FilePath::encode(m.path) == path; });
    ASSERT_NE(share, mounts.cend());
    const auto dissent = TestEnvironment::await(UDisks2Service().unmountShare(*share, false), 10s);
    ASSERT_TRUE(dissent.has_value());
    EXPECT_EQ(*dissent, std::nullopt) << dissent->value().message.value_or(QString()).toStdString();
    EXPECT_FALSE(isMountPoint(path));
}
