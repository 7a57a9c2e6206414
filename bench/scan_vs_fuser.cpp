// The blocker scan side by side with `fuser -m` and `lsof +f --` on one mount, in one run:
// median of N runs each (the scan's own reported duration; the peers' wall time from spawn to
// exit), the ratios, and whether the scan found exactly the processes `fuser -m` found.
// The first run, in a process that just started (after SETTLE_MS of start-up), is shown apart.
// Usage: scan_vs_fuser MOUNTPATH [RUNS] [SETTLE_MS]   (bench/scan-vs-fuser sets the scene)
#include "Eject/BlockerScanner.h"
#include "Platform/Linux/LinuxBlockRegistry.h"
#include "Platform/Linux/LinuxMountTable.h"
#include "Platform/Linux/LinuxPlatform.h"

#include <QCoreApplication>
#include <QFile>
#include <QSet>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <vector>

#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

using namespace mallowby;
using SteadyClock = std::chrono::steady_clock;

extern char** environ;

namespace {

double medianMs(std::vector<double> values)
{
    std::sort(values.begin(), values.end());
    return values.empty() ? 0 : values[values.size() / 2];
}

// Runs a program with its standard output in `out` (standard error dropped); its wall time in ms.
double timed(const std::vector<const char*>& argv, QByteArray* out = nullptr)
{
    int pipeFds[2];
    if (::pipe2(pipeFds, O_CLOEXEC) != 0)
        return -1;
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, pipeFds[1], 1);
    posix_spawn_file_actions_addopen(&actions, 2, "/dev/null", O_WRONLY, 0);
    std::vector<char*> args;
    for (const char* arg : argv)
        args.push_back(const_cast<char*>(arg));
    args.push_back(nullptr);
    const auto started = SteadyClock::now();
    pid_t pid = 0;
    const int spawned = posix_spawnp(&pid, args[0], &actions, nullptr, args.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    ::close(pipeFds[1]);
    QByteArray text;
    char buffer[4096];
    for (ssize_t got; spawned == 0 && (got = ::read(pipeFds[0], buffer, sizeof buffer)) > 0;)
        text.append(buffer, got);
    ::close(pipeFds[0]);
    if (spawned == 0)
        ::waitpid(pid, nullptr, 0);
    const double ms = std::chrono::duration<double, std::milli>(SteadyClock::now() - started).count();
    if (out)
        *out = text;
    return spawned == 0 ? ms : -1;
}

QSet<qint32> pidsIn(const QByteArray& text)
{
    QSet<qint32> pids;
    for (QByteArray word : text.simplified().split(' ')) {
        while (!word.isEmpty() && !std::isdigit(uchar(word.back())))
            word.chop(1);  // fuser's access letters: c, e, f, m, r
        bool ok = false;
        const int pid = word.toInt(&ok);
        if (ok && pid > 0)
            pids.insert(pid);
    }
    return pids;
}

} // namespace

int main(int argc, char* argv[])
{
    QCoreApplication app(argc, argv);
    if (argc < 2) {
        std::fprintf(stderr, "usage: scan_vs_fuser MOUNTPATH [RUNS]\n");
        return 2;
    }
    const QString mountPath = QString::fromLocal8Bit(argv[1]);
    const int runs = argc > 2 ? std::max(2, atoi(argv[2])) : 15;
    const int settleMs = argc > 3 ? std::max(0, atoi(argv[3])) : 0;
    std::optional<ScanTarget> target;
    for (const auto& mount : VolumeStore::Mount::current(LinuxMountTable(), true))
        if (mount.path == mountPath)
            target = ScanTarget{{mount.device}, {mount.path}};
    if (!target) {
        std::fprintf(stderr, "scan_vs_fuser: %s is not a mount point\n", argv[1]);
        return 1;
    }

    const BlockerScanner scanner = LinuxPlatform::blockerScanner(std::make_shared<LinuxBlockRegistry>());
    const QByteArray path = QFile::encodeName(mountPath);
    if (settleMs > 0)
        ::usleep(useconds_t(settleMs) * 1000);
    std::vector<double> scanMs, fuserMs, lsofMs;
    BlockerReport report;
    QByteArray fuserOut;
    for (int run = 0; run < runs; ++run) {
        report = scanner.scanBlocking(*target);
        scanMs.push_back(std::chrono::duration<double, std::milli>(report.duration).count());
        fuserMs.push_back(timed({"fuser", "-m", path.constData()}, &fuserOut));
        lsofMs.push_back(timed({"lsof", "+f", "--", path.constData()}));
    }

    QSet<qint32> scanned;
    for (const Blocker& blocker : report.blockers)
        scanned.insert(blocker.pid);
    const QSet<qint32> fuserFound = pidsIn(fuserOut);

    std::printf("first scan, %d ms after start   scan %.2f ms   fuser -m %.2f ms   ratio %.2f\n", settleMs, scanMs[0],
                fuserMs[0], scanMs[0] / fuserMs[0]);
    scanMs.erase(scanMs.begin());
    fuserMs.erase(fuserMs.begin());
    lsofMs.erase(lsofMs.begin());
    const double scan = medianMs(scanMs), fuser = medianMs(fuserMs), lsof = medianMs(lsofMs);
    std::printf("processes examined by the scan: %lld\n", qint64(report.processCount));
    std::printf("median of %d later runs   scan %.2f ms   fuser -m %.2f ms   lsof +f -- %.2f ms\n", runs - 1, scan, fuser, lsof);
    std::printf("ratio scan / fuser -m   %.2f\n", scan / fuser);
    std::printf("ratio scan / lsof +f -- %.2f\n", scan / lsof);
    std::printf("holders: scan %lld, fuser -m %lld; same processes: %s\n", qint64(scanned.size()), qint64(fuserFound.size()),
                scanned == fuserFound ? "yes" : "no");
    return scanned == fuserFound ? 0 : 1;
}
