// Mounts and unmounts a loop device N times while a live VolumeStore runs, and prints the time
// from mount(2) returning to the volume appearing in the published list (and from umount(2) to
// it leaving). Root only. Usage: mount_latency DEVICE MOUNTPOINT FSTYPE [RUNS]

#include "Platform/Linux/LinuxPlatform.h"
#include "Volumes/VolumeStore.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QThread>

#include <algorithm>
#include <cstdio>
#include <vector>

#include <sys/mount.h>

using namespace mallowby;

namespace {

bool listed(const VolumeStore& store, const QString& path)
{
    return std::any_of(store.volumes().cbegin(), store.volumes().cend(), [&](const Volume& v) { return v.mountPath == path; });
}

// Spins the event loop until the condition holds; the elapsed microseconds, or -1 after 5 s.
qint64 waitFor(const std::function<bool()>& condition, const QElapsedTimer& since)
{
    while (!condition()) {
        if (since.elapsed() > 5000)
            return -1;
        QCoreApplication::processEvents(QEventLoop::AllEvents);
        QThread::usleep(200);
    }
    return since.nsecsElapsed() / 1000;
}

void summary(const char* what, std::vector<qint64> us)
{
    std::sort(us.begin(), us.end());
    const auto at = [&](double q) { return us[std::min(us.size() - 1, size_t(q * double(us.size())))]; };
    std::printf("%s: runs %zu, median %.1f ms, p99 %.1f ms, worst %.1f ms\n", what, us.size(), at(0.5) / 1000.0,
                at(0.99) / 1000.0, us.back() / 1000.0);
}

} // namespace

int main(int argc, char* argv[])
{
    QCoreApplication app(argc, argv);
    if (argc < 4) {
        std::fprintf(stderr, "usage: %s DEVICE MOUNTPOINT FSTYPE [RUNS]\n", argv[0]);
        return 2;
    }
    const QByteArray device = argv[1], target = argv[2], type = argv[3];
    const int runs = argc > 4 ? std::max(1, atoi(argv[4])) : 20;
    const QString path = QString::fromLocal8Bit(target);

    VolumeStore store(SpaceReader{std::chrono::seconds(2)}, LinuxPlatform::volumeStore());
    store.start();

    std::vector<qint64> mounted, unmounted;
    for (int i = 0; i < runs; ++i) {
        if (::mount(device.constData(), target.constData(), type.constData(), 0, nullptr) != 0) {
            std::perror("mount");
            return 1;
        }
        QElapsedTimer since;
        since.start();
        const qint64 in = waitFor([&] { return listed(store, path); }, since);
        if (::umount(target.constData()) != 0) {
            std::perror("umount");
            return 1;
        }
        since.start();
        const qint64 out = waitFor([&] { return !listed(store, path); }, since);
        if (in < 0 || out < 0) {
            std::fprintf(stderr, "run %d: the change did not reach the list within 5 s\n", i + 1);
            return 1;
        }
        mounted.push_back(in);
        unmounted.push_back(out);
        QThread::msleep(50);
    }
    summary("mount -> listed", mounted);
    summary("umount -> gone", unmounted);
    return 0;
}
