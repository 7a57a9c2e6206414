#include "Eject/BlockerScanner.h"
#include "Platform/Linux/LinuxBlockRegistry.h"
#include "Platform/Linux/LinuxMountTable.h"
#include "Platform/Linux/LinuxPlatform.h"
#include "Platform/Linux/ProcfsProcessTable.h"

#include "support/LoopImage.h"
#include "support/TestEnvironment.h"

#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QProcess>
#include <QTemporaryDir>
#include <QTimer>

#include <gtest/gtest.h>

#include <csignal>
#include <cstdio>

using namespace mallowby;
using namespace mallowby::test;

namespace {

BlockerScanner realScanner()
{
    return LinuxPlatform::blockerScanner(std::make_shared<LinuxBlockRegistry>());
}

std::optional<ScanTarget> targetAt(const QString& path)
{
    for (const auto& mount : VolumeStore::Mount::current(LinuxMountTable(), true))
        if (mount.path == path)
            return ScanTarget{{mount.device}, {mount.path}};
    return std::nullopt;
}

class BlockerScan : public ::testing::Test {
protected:
    void SetUp() override
    {
        if (const auto missing = TestEnvironment::missingForLoopDevices())
            GTEST_SKIP() << missing->toStdString();
        image = std::make_unique<LoopImage>(QStringLiteral("Held"));
        ASSERT_TRUE(image->isReady()) << image->error().toStdString();
        ASSERT_TRUE(image->mount()) << image->error().toStdString();
        for (const auto& mount : VolumeStore::Mount::current(LinuxMountTable(), true))
            if (mount.path == image->mountPath())
                target = ScanTarget{{mount.device}, {mount.path}};
        ASSERT_FALSE(target.devices.isEmpty());
        QFile data(image->mountPath() + "/data.bin");
        ASSERT_TRUE(data.open(QIODevice::WriteOnly));
        data.write(QByteArray(8192, 'x'));
    }

    void TearDown() override
    {
        for (auto& process : holders) {
            process->kill();
            process->waitForFinished(5000);
        }
        holders.clear();
    }

    QProcess& hold(const QString& program, const QStringList& arguments, const QString& workingDirectory,
                   const QString& input = QStringLiteral("/dev/null"))
    {
        auto process = std::make_unique<QProcess>();
        process->setWorkingDirectory(workingDirectory);
        process->setStandardInputFile(input);
        process->start(program, arguments);
        EXPECT_TRUE(process->waitForStarted(5000));
        holders.push_back(std::move(process));
        return *holders.back();
    }

    BlockerReport scan() const
    {
        auto report = TestEnvironment::await(realScanner().scan(target));
        EXPECT_TRUE(report.has_value());
        return report.value_or(BlockerReport{});
    }

    static const Blocker* find(const BlockerReport& report, qint64 pid)
    {
        for (const Blocker& blocker : report.blockers)
            if (blocker.pid == pid)
                return &blocker;
        return nullptr;
    }

    std::unique_ptr<LoopImage> image;
    ScanTarget target;
    std::vector<std::unique_ptr<QProcess>> holders;
};

} // namespace

TEST_F(BlockerScan, FindsWorkingDirectoriesOpenFilesAndProgramsRunFromTheDrive)
{
    QFile::copy(QStringLiteral("/bin/sleep"), image->mountPath() + "/sleeper");
    QFile::setPermissions(image->mountPath() + "/sleeper", QFile::ReadOwner | QFile::ExeOwner);
    auto& shell = hold(QStringLiteral("/bin/sleep"), {QStringLiteral("300")}, image->mountPath());
    auto& reader = hold(QStringLiteral("/bin/sleep"), {QStringLiteral("300")}, QStringLiteral("/"), image->mountPath() + "/data.bin");
    auto& program = hold(image->mountPath() + "/sleeper", {QStringLiteral("300")}, QStringLiteral("/"));

    const auto report = scan();
    EXPECT_GT(report.processCount, 3);
    EXPECT_FALSE(report.scannedMappedFiles);
    EXPECT_GT(report.duration.count(), 0);

    const Blocker* cwd = find(report, shell.processId());
    ASSERT_NE(cwd, nullptr);
    EXPECT_EQ(cwd->processName, "sleep");
    EXPECT_EQ(cwd->uses, (QList<Blocker::Use>{{Blocker::Reason::workingDirectory, image->mountPath()}}));

    const Blocker* file = find(report, reader.processId());
    ASSERT_NE(file, nullptr);
    EXPECT_EQ(file->uses, (QList<Blocker::Use>{{Blocker::Reason::openFile, image->mountPath() + "/data.bin"}}));

    const Blocker* run = find(report, program.processId());
    ASSERT_NE(run, nullptr);
    EXPECT_EQ(run->processName, "sleeper");
    EXPECT_EQ(run->executablePath, image->mountPath() + "/sleeper");
    EXPECT_EQ(run->uses, (QList<Blocker::Use>{{Blocker::Reason::mappedFile, image->mountPath() + "/sleeper"}}));
    EXPECT_EQ(report.blockers.size(), 3) << "only the test's processes hold the fresh mount";
}

TEST_F(BlockerScan, AMappingAloneIsFoundByTheSecondPass)
{
    auto& mapper = hold(TestEnvironment::mapholdBinary(), {image->mountPath() + "/data.bin"}, QStringLiteral("/"));
    ASSERT_TRUE(mapper.waitForReadyRead(5000));

    const auto report = scan();
    EXPECT_TRUE(report.scannedMappedFiles);
    ASSERT_EQ(report.blockers.size(), 1);
    EXPECT_EQ(report.blockers[0].pid, mapper.processId());
    EXPECT_EQ(report.blockers[0].uses, (QList<Blocker::Use>{{Blocker::Reason::mappedFile, image->mountPath() + "/data.bin"}}));
}

TEST_F(BlockerScan, AnIdleDriveHasNoBlockers)
{
    const auto report = scan();
    EXPECT_TRUE(report.isEmpty());
    EXPECT_TRUE(report.scannedMappedFiles);
    EXPECT_GT(report.processCount, 0);
}

TEST_F(BlockerScan, AnImageAttachedFromAFileOnTheDriveIsListedAsAnImage)
{
    const QString inner = image->mountPath() + "/inner.img";
    ASSERT_EQ(TestEnvironment::run("truncate", {"-s", "8M", inner}).exitCode, 0);
    const auto attach = TestEnvironment::run("losetup", {"--find", "--show", inner});
    ASSERT_EQ(attach.exitCode, 0) << attach.err.toStdString();
    const QString device = attach.out.trimmed();

    const auto report = scan();
    TestEnvironment::run("losetup", {"-d", device});
    EXPECT_EQ(report.images, (QList<ImageBlocker>{{inner, device.mid(5)}}));
    EXPECT_FALSE(report.scannedMappedFiles);  // an image was kept: no second pass
    EXPECT_FALSE(report.isEmpty());
}

// Also: a desktop entry whose program lies on the share names the app (compared as text, never
// looked up there), and the main thread never waits meanwhile.
TEST(BlockerScanOfAStalledShare, FinishesForThatDriveAndForEveryOther)
{
    if (!TestEnvironment::isRoot())
        GTEST_SKIP() << "needs root to mount a FUSE file system";
    if (!QFile::exists(QStringLiteral("/dev/fuse")))
        GTEST_SKIP() << "no /dev/fuse here";
    QTemporaryDir dir;
    const QString mountPath = dir.filePath(QStringLiteral("stalled"));
    QDir().mkpath(mountPath);
    QProcess fuse;
    fuse.start(QStringLiteral(MALLOWBY_STALLFS), {mountPath, QStringLiteral("/bin/sleep")});
    std::optional<ScanTarget> stalled;
    ASSERT_TRUE(TestEnvironment::waitUntil([&] { return (stalled = targetAt(mountPath)).has_value(); }, std::chrono::seconds(10)))
        << fuse.readAllStandardError().toStdString();

    // A program run from the share, with its working directory there.
    QProcess holder;
    holder.setWorkingDirectory(mountPath);
    holder.start(mountPath + QStringLiteral("/prog"), {QStringLiteral("300")});
    ASSERT_TRUE(holder.waitForStarted(5000));
    const qint32 pid = qint32(holder.processId());
    ASSERT_TRUE(TestEnvironment::waitUntil([&] { return ProcfsProcessTable().executablePath(pid) == mountPath + "/prog"; },
                                           std::chrono::seconds(5)));

    // From now on every request to the share waits forever.
    ::kill(pid_t(fuse.processId()), SIGUSR1);
    const auto root = targetAt(QStringLiteral("/"));
    ASSERT_TRUE(root.has_value());
    QTemporaryDir data;
    QDir().mkpath(data.filePath("applications"));
    QFile entry(data.filePath("applications/stalled-tool.desktop"));
    ASSERT_TRUE(entry.open(QIODevice::WriteOnly));
    entry.write("[Desktop Entry]\nName=Stalled Tool\nTryExec=" + QFile::encodeName(mountPath) + "/prog\nExec=\""
                + QFile::encodeName(mountPath) + "/prog\" %f\n");
    entry.close();
    const QByteArray dataHome = qgetenv("XDG_DATA_HOME"), dataDirs = qgetenv("XDG_DATA_DIRS");
    qputenv("XDG_DATA_HOME", QFile::encodeName(data.path()));
    qputenv("XDG_DATA_DIRS", QFile::encodeName(dir.path()));
    const BlockerScanner scanner = realScanner();
    qputenv("XDG_DATA_HOME", dataHome);
    qputenv("XDG_DATA_DIRS", dataDirs);
    // The longest the main thread went without turning its event loop.
    QElapsedTimer sinceTick;
    qint64 longestStallMs = 0;
    QTimer ticks;
    QObject::connect(&ticks, &QTimer::timeout, [&] { longestStallMs = std::max(longestStallMs, sinceTick.restart()); });
    sinceTick.start();
    ticks.start(5);
    auto onShare = std::make_shared<std::optional<BlockerReport>>();
    auto onRoot = std::make_shared<std::optional<BlockerReport>>();
    const auto into = [](QCoro::Task<BlockerReport> scan, std::shared_ptr<std::optional<BlockerReport>> out) -> QCoro::Task<> {
        out->emplace(co_await std::move(scan));
    };
    into(scanner.scan(*stalled), onShare);
    into(scanner.scan(*root), onRoot);
    const bool finished = TestEnvironment::waitUntil([&] { return onShare->has_value() && onRoot->has_value(); },
                                                     std::chrono::seconds(20));
    // A later scan still gets a thread.
    const auto later = finished ? TestEnvironment::await(scanner.scan(*root), std::chrono::seconds(20)) : std::nullopt;
    ticks.stop();

    // Unblock the kernel before anything waits for the holder: killing the server aborts the
    // connection.
    fuse.kill();
    fuse.waitForFinished(5000);
    holder.kill();
    holder.waitForFinished(5000);
    TestEnvironment::run(QStringLiteral("umount"), {QStringLiteral("-l"), mountPath});

    ASSERT_TRUE(finished) << "a scan waited on the stalled share";
    EXPECT_TRUE(later.has_value());
    const Blocker* held = nullptr;
    for (const Blocker& blocker : (*onShare)->blockers)
        if (blocker.pid == pid)
            held = &blocker;
    ASSERT_NE(held, nullptr);
    EXPECT_EQ(held->processName, "prog");
    ASSERT_TRUE(held->app.has_value());
    EXPECT_EQ(held->app->name, "Stalled Tool");
    EXPECT_FALSE((*onShare)->incomplete);
    std::printf("longest stall of the main thread: %lld ms\n", qint64(longestStallMs));
    EXPECT_LT(longestStallMs, 50);
    EXPECT_EQ(held->uses, (QList<Blocker::Use>{{Blocker::Reason::mappedFile, mountPath + "/prog"},
                                               {Blocker::Reason::workingDirectory, mountPath}}));
    EXPECT_GT((*onRoot)->blockers.size(), 1);
}
