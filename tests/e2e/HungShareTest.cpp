#include "E2E.h"

#include "Platform/Linux/UDisks2Service.h"
#include "Volumes/SpaceReader.h"

#include "support/StallMeter.h"

using namespace mallowby;
using namespace mallowby::test;

namespace {

// A read's answer (none: the read failed or never ended), and how long it took.
std::pair<std::optional<Space>, qint64> readNow(const SpaceReader& reader, const QString& path)
{
    QElapsedTimer clock;
    clock.start();
    const auto answer = TestEnvironment::await(reader.read(path), 10s);
    EXPECT_TRUE(answer.has_value()) << "the read never ended";
    return {answer.value_or(std::nullopt), clock.elapsed()};
}

// How many children of a process have a thread in the given state.
qsizetype childrenIn(char state, qint64 pid = ::getpid())
{
    const auto children = childrenOf(pid);
    return std::count_if(children.cbegin(), children.cend(), [&](qint64 child) { return threadStates(child).contains(state); });
}

} // namespace

// A share whose statfs never answers: only an abandoned helper waits on it, its path stays busy
// (costing no further helper) until it answers, other paths are read as usual; a volume dump
// waits for it only its time and SIGTERM ends a dump whose read of it hangs at once; an unmount
// command stuck on it outlives its SIGKILL and is handed to a reaper, the main thread never
// waiting. A FUSE share unmounts through the network path; figures past 64 bits are a failed read.
TEST_F(HungShare, OnlyAbandonedHelpersWaitOnAHungShareAndNothingElseDoes)
{
    {
        SCOPED_TRACE("a FUSE share unmounts");
        HungMount fuse;
        ASSERT_TRUE(fuse.isMounted()) << fuse.error().toStdString();
        // Mounted is not yet serving: wait until the file system answers (its root's attributes).
        ASSERT_TRUE(TestEnvironment::waitUntil([&] { return QFileInfo(fuse.path()).isDir(); }, 10s));
        const auto mounts = VolumeStore::Mount::current(LinuxMountTable(), true);
        const auto mount = std::find_if(mounts.cbegin(), mounts.cend(), [&](const auto& m) { return m.path == fuse.path(); });
        ASSERT_NE(mount, mounts.cend());
        EXPECT_TRUE(mount->type.startsWith("fuse"));
        const auto unmounted = TestEnvironment::await(UDisks2Service().unmountShare(*mount, false));
        EXPECT_TRUE(unmounted.has_value() && !unmounted->has_value());
        EXPECT_FALSE(fuse.isMounted());
    }
    HungMount share;
    ASSERT_TRUE(share.isMounted()) << share.error().toStdString();
    {
        SCOPED_TRACE("reads");
        const SpaceReader reader{500ms};
        auto [space, ms] = readNow(reader, share.path());
        EXPECT_EQ(space, std::nullopt);
        EXPECT_TRUE(ms >= 490 && ms < 1500) << ms;
        EXPECT_FALSE(threadStates(::getpid()).contains('D')) << threadStates(::getpid()).toStdString();
        EXPECT_EQ(childrenIn('D'), 1);
        EXPECT_TRUE(SpaceReader::isInFlight(share.path()));
        std::tie(space, ms) = readNow(reader, share.path());
        EXPECT_TRUE(space == std::nullopt && ms < 100) << ms;
        EXPECT_EQ(childrenIn('D'), 1);
        std::tie(space, ms) = readNow(reader, "/");
        EXPECT_TRUE(space.has_value() && ms < 500) << ms;
    }
    {
        SCOPED_TRACE("volume dumps");
        QElapsedTimer elapsed;
        elapsed.start();
        AppProcess dump({{"MALLOWBY_DUMP_VOLUMES", QStringLiteral("1")}});
        qint64 printedAt = -1;
        const bool printed = TestEnvironment::waitUntil([&] {
            printedAt = elapsed.elapsed();
            return rowAt(table(dump.lines()), share.path()) && rowAt(table(dump.lines()), "/");
        }, 10s);
        ASSERT_TRUE(printed) << dump.lines().join('\n').toStdString();
        EXPECT_LT(printedAt, 3500);
        ASSERT_TRUE(endsWell(dump, 1s)) << "the dump was still there a second after its table";
        const auto rows = table(dump.lines());
        const QStringList* row = rowAt(rows, share.path());
        EXPECT_EQ(QStringList{row->first()} + row->mid(4, 4), (QStringList{"hung share", "-", "-", "-", "-"}));
        EXPECT_NE((*rowAt(rows, "/"))[4], "-");
        // The share's read is stuck in a helper of the second dump; no thread of the dump itself waits.
        AppProcess second({{"MALLOWBY_DUMP_VOLUMES", QStringLiteral("1")}});
        ASSERT_TRUE(second.process().waitForStarted());
        const qint64 pid = second.process().processId();
        EXPECT_TRUE(TestEnvironment::waitUntil([&] { return childrenIn('D', pid) > 0; }, 30s)) << "no helper of the dump waited on the share";
        EXPECT_FALSE(threadStates(pid).contains('D')) << threadStates(pid).toStdString();
        second.process().terminate();
        EXPECT_TRUE(endsWell(second, 30s));  // generous for slow builds
        EXPECT_EQ(second.lines(), QStringList()) << "the table came before the figures were awaited";
    }
    {
        SCOPED_TRACE("a stuck unmount");
        // An `umount` that waits on the hung mount as a real one would.
        QTemporaryDir bin;
        QFile script(bin.filePath("umount"));
        ASSERT_TRUE(script.open(QIODevice::WriteOnly) && script.write("#!/bin/sh\nexec stat -f \"$2\"\n") > 0);
        script.close();
        script.setPermissions(QFile::ReadOwner | QFile::ExeOwner);
        const QByteArray path = qgetenv("PATH");
        qputenv("PATH", QFile::encodeName(bin.path()) + ':' + path);
        const qsizetype stuck = childrenIn('D');
        UDisks2Service service(QDBusConnection::systemBus(), UDisks2Service::probeDevice, std::chrono::milliseconds(300));
        StallMeter stalls;
        const VolumeStore::Mount gone{share.path(), "nas:/gone", "nfs4", false, 0, false};
        const auto answer = TestEnvironment::await(service.unmountShare(gone, false), 10s);
        TestEnvironment::waitUntil([] { return false; }, 500ms);  // where a destructor would wait
        const qint64 longest = stalls.stop();
        qputenv("PATH", path);
        ASSERT_TRUE(answer.has_value());
        EXPECT_EQ(**answer, (Dissent{Dissent::unknownError, "umount did not finish"}));
        EXPECT_LT(longest, StallMeter::limitMs);
        EXPECT_GT(childrenIn('D'), stuck) << "the command was not stuck: the test proves nothing";
    }
    // Once the mount answers, the helper and the command finish dying and are reaped, and the path is free.
    share.abort();
    EXPECT_TRUE(TestEnvironment::waitUntil([&] { return !SpaceReader::isInFlight(share.path()); }, 5s));
    EXPECT_TRUE(TestEnvironment::waitUntil([] { return childrenIn('Z') + childrenIn('D') == 0; }, 10s));

    HungMount absurd("absurd");
    ASSERT_TRUE(absurd.isMounted()) << absurd.error().toStdString();
    const auto [space, ms] = readNow(SpaceReader{2s}, absurd.path());
    EXPECT_TRUE(space == std::nullopt && ms < 1000) << ms;
    EXPECT_FALSE(SpaceReader::isInFlight(absurd.path()));
}
