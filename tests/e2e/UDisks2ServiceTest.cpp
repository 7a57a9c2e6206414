#include "Platform/Linux/LinuxMountTable.h"
#include "Platform/Linux/UDisks2Service.h"

#include "support/HungMount.h"
#include "support/StallMeter.h"
#include "support/TestEnvironment.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QProcess>
#include <QTemporaryDir>

#include <gtest/gtest.h>

#include <algorithm>
#include <iostream>

#include <unistd.h>

using namespace mallowby;
using namespace mallowby::test;

namespace {

std::optional<VolumeStore::Mount> mountAt(const QString& path)
{
    for (const auto& mount : VolumeStore::Mount::current(LinuxMountTable(), true))
        if (mount.path == path)
            return mount;
    return std::nullopt;
}

} // namespace

TEST(UDisks2, AShareLikeFuseMountUnmountsThroughTheNetworkPath)
{
    QTemporaryDir dir;
    const QString path = dir.filePath(QStringLiteral("share"));
    QDir().mkpath(path);
    QProcess fuse;
    fuse.start(TestEnvironment::hangfsBinary(), {path});
    ASSERT_TRUE(TestEnvironment::waitUntil([&] { return mountAt(path).has_value(); }, std::chrono::seconds(10)));
    // Mounted is not yet serving: wait until the file system answers (its root's attributes).
    ASSERT_TRUE(TestEnvironment::waitUntil([&] { return QFileInfo(path).isDir(); }, std::chrono::seconds(10)));
    const auto mount = *mountAt(path);
    EXPECT_TRUE(mount.type.startsWith(QLatin1String("fuse")));

    UDisks2Service service;
    const auto answer = TestEnvironment::await(service.unmountShare(mount, false));
    EXPECT_TRUE(answer.has_value() && !answer->has_value());
    EXPECT_FALSE(mountAt(path).has_value());
    fuse.kill();
    fuse.waitForFinished();
}

// An unmount command stuck on a share whose server stopped answering outlives its SIGKILL (in
// uninterruptible sleep): it is handed to a reaper, and the main thread never waits for it.
TEST(UDisks2HungShare, AnUnmountCommandThatIgnoresItsKillNeverStallsTheMainThread)
{
    if (const auto missing = HungMount::missing())
        GTEST_SKIP() << missing->toStdString();
    HungMount hung;
    ASSERT_TRUE(hung.isMounted()) << hung.error().toStdString();
    // An `umount` that waits on the hung mount as a real one would.
    QTemporaryDir bin;
    QFile script(bin.filePath(QStringLiteral("umount")));
    ASSERT_TRUE(script.open(QIODevice::WriteOnly));
    script.write("#!/bin/sh\nexec stat -f \"$2\"\n");
    script.close();
    script.setPermissions(QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
    const QByteArray path = qgetenv("PATH");
    qputenv("PATH", QFile::encodeName(bin.path()) + ':' + path);

    UDisks2Service service(QDBusConnection::systemBus(), UDisks2Service::probeDevice, std::chrono::milliseconds(300));
    StallMeter stalls;
    const VolumeStore::Mount share{hung.path(), QStringLiteral("nas:/gone"), QStringLiteral("nfs4"), false, 0, false};
    const auto answer = TestEnvironment::await(service.unmountShare(share, false), std::chrono::seconds(10));
    const qint64 answeredAfter = stalls.elapsed();
    TestEnvironment::waitUntil([] { return false; }, std::chrono::milliseconds(500));  // where a destructor would wait
    const qint64 longest = stalls.stop();
    qputenv("PATH", path);
    std::cout << "unmount answered after " << answeredAfter << " ms; longest main-thread stall " << longest << " ms\n";
    ASSERT_TRUE(answer.has_value());
    EXPECT_EQ(**answer, (Dissent{Dissent::unknownError, QStringLiteral("umount did not finish")}));
    EXPECT_LT(longest, 50);
    const auto children = childrenOf(::getpid());
    EXPECT_TRUE(std::any_of(children.cbegin(), children.cend(), [](qint64 child) { return threadStates(child).contains('D'); }))
        << "the command was not stuck: the test proves nothing";
    // Once the mount lets it go, it is reaped: no zombie is left.
    hung.abort();
    EXPECT_TRUE(TestEnvironment::waitUntil(
        [] {
            const auto now = childrenOf(::getpid());
            return std::none_of(now.cbegin(), now.cend(), [](qint64 child) { return threadStates(child).contains('Z'); });
        },
        std::chrono::seconds(10)));
}
