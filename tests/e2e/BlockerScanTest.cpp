#include "Eject/BlockerScanner.h"
#include "Platform/Linux/LinuxBlockRegistry.h"
#include "Platform/Linux/LinuxMountTable.h"
#include "Platform/Linux/LinuxPlatform.h"
#include "Platform/Linux/ProcfsProcessTable.h"

#include "support/LoopImage.h"
#include "support/StallMeter.h"
#include "support/TestEnvironment.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QProcess>
#include <QRegularExpression>
#include <QTemporaryDir>

#include <gtest/gtest.h>

#include <csignal>
#include <cstdio>
#include <iostream>

#include <sys/wait.h>
#include <unistd.h>

using namespace mallowby;
using namespace mallowby::test;

namespace {

BlockerScanner realScanner()
{
    return LinuxPlatform::blockerScanner(std::make_shared<LinuxBlockRegistry>());
}

// Every mount of the file system mounted at `path`, as the ejector gathers a drive's mounts.
std::optional<ScanTarget> targetAt(const QString& path)
{
    const auto mounts = VolumeStore::Mount::current(LinuxMountTable(), true);
    const auto at = std::find_if(mounts.cbegin(), mounts.cend(), [&](const auto& m) { return m.path == path; });
    if (at == mounts.cend())
        return std::nullopt;
    ScanTarget target;
    for (const auto& mount : mounts) {
        if (mount.device != at->device)
            continue;
        target.devices.insert(mount.device);
        target.mountPaths.append(mount.path);
        if (const auto name = mount.bsdName())
            target.sources.append(*name);
    }
    return target;
}

// A report as lines: "NAME REASON PATH" for each use, the holders' summaries, "image PATH"; pids
// and namespace numbers masked.
QStringList linesOf(const BlockerReport& report)
{
    QStringList lines;
    for (const Blocker& b : report.blockers)
        for (const Blocker::Use& use : b.uses)
            lines << QStringLiteral("%1 %2 %3").arg(b.processName, Blocker::reasonText(use.reason), use.path);
    for (const SystemHolder& holder : report.holders)
        lines << holder.summary().replace(QRegularExpression(QStringLiteral("\\(\\d+\\)")), QStringLiteral("(PID)"))
                     .replace(QRegularExpression(QStringLiteral("mnt:\\[\\d+\\]")), QStringLiteral("mnt:[NS]"));
    for (const ImageBlocker& image : report.images)
        lines << QStringLiteral("image ") + image.imagePath;
    lines.sort();
    return lines;
}

// One loop-mounted ext4 image, held in one way per case.
class BlockerScan : public ::testing::Test {
protected:
    void SetUp() override
    {
        if (const auto missing = TestEnvironment::missingForLoopDevices())
            GTEST_SKIP() << missing->toStdString();
        image = std::make_unique<LoopImage>(QStringLiteral("Held"));
        ASSERT_TRUE(image->isReady()) << image->error().toStdString();
        ASSERT_TRUE(image->mount()) << image->error().toStdString();
        mountPath = image->mountPath();
        QFile data(mountPath + "/data.bin");
        ASSERT_TRUE(data.open(QIODevice::WriteOnly));
        data.write(QByteArray(8192, 'x'));
    }

    void TearDown() override { release(); }

    void release()
    {
        for (auto& process : holders) {
            process->kill();
            process->waitForFinished(5000);
        }
        holders.clear();
        for (pid_t child : std::exchange(children, {})) {
            ::kill(child, SIGKILL);
            ::waitpid(child, nullptr, 0);
        }
        while (!undo.empty()) {
            undo.back()();
            undo.pop_back();
        }
    }

    // Starts a program and waits until it runs `command` (past any wrapper that execs it).
    QProcess& hold(const QString& program, const QStringList& arguments, const QString& workingDirectory,
                   const QString& input = QStringLiteral("/dev/null"), const QString& command = QStringLiteral("sleep"),
                   const QProcessEnvironment& environment = QProcessEnvironment::systemEnvironment())
    {
        auto process = std::make_unique<QProcess>();
        process->setProcessEnvironment(environment);
        process->setWorkingDirectory(workingDirectory);
        process->setStandardInputFile(input);
        process->start(program, arguments);
        EXPECT_TRUE(process->waitForStarted(5000));
        const qint32 pid = qint32(process->processId());
        EXPECT_TRUE(TestEnvironment::waitUntil([&] { return ProcfsProcessTable().commandName(pid) == command; },
                                               std::chrono::seconds(5)));
        holders.push_back(std::move(process));
        return *holders.back();
    }

    // Runs a command now and its undoing at teardown; an error text when it failed.
    QString step(const QStringList& command, const QStringList& undoing = {})
    {
        const auto result = TestEnvironment::run(command.first(), command.mid(1));
        if (result.exitCode != 0)
            return command.join(' ') + ": " + result.err;
        if (!undoing.isEmpty())
            undo.push_back([undoing] { TestEnvironment::run(undoing.first(), undoing.mid(1)); });
        return {};
    }

    BlockerReport scan(const std::optional<ScanTarget>& target) const
    {
        EXPECT_TRUE(target.has_value());
        auto report = TestEnvironment::await(realScanner().scan(target.value_or(ScanTarget{})));
        EXPECT_TRUE(report.has_value());
        return report.value_or(BlockerReport{});
    }

    std::unique_ptr<LoopImage> image;
    QString mountPath;
    std::vector<std::unique_ptr<QProcess>> holders;
    std::vector<pid_t> children;
    std::vector<std::function<void()>> undo;
};

} // namespace

TEST_F(BlockerScan, EveryKindOfHolderIsFoundWithTheRightWords)
{
    const QString m = mountPath;
    struct Row {
        const char* name;
        std::function<QString()> setUp;  // an error text, or "skip: …"
        QStringList expected;            // "%M" is the mount path
        bool mappedPass = false;
    };
    const std::vector<Row> rows{
        {"working directory, open file, program run from the drive",
         [&] {
             QFile::copy(QStringLiteral("/bin/sleep"), m + "/sleeper");
             QFile::setPermissions(m + "/sleeper", QFile::ReadOwner | QFile::ExeOwner);
             hold("/bin/sleep", {"300"}, m);
             hold("/bin/sleep", {"300"}, "/", m + "/data.bin");
             hold(m + "/sleeper", {"300"}, "/", "/dev/null", "sleeper");
             return QString();
         },
         {"sleep working directory %M", "sleep open file %M/data.bin", "sleeper mapped file %M/sleeper"}},
        {"a library mapped from the drive, in maps over 64 KB",
         [&] {
             QString libm;
             QFile self(QStringLiteral("/proc/self/maps"));
             if (self.open(QIODevice::ReadOnly))
                 for (const QByteArray& line : self.readAll().split('\n'))
                     if (line.endsWith("/libm.so.6"))
                         libm = QString::fromUtf8(line.mid(line.indexOf('/')));
             if (libm.isEmpty() || !QFile::copy(libm, m + "/libm.so.6"))
                 return QStringLiteral("no libm.so.6 to copy");
             auto environment = QProcessEnvironment::systemEnvironment();
             environment.insert("LD_PRELOAD", m + "/libm.so.6");
             auto& mapper = hold(TestEnvironment::mapholdBinary(), {QCoreApplication::applicationFilePath(), "4000"}, "/",
                                 "/dev/null", "maphold", environment);
             mapper.waitForReadyRead(5000);
             QFile maps(QStringLiteral("/proc/%1/maps").arg(mapper.processId()));
             if (!maps.open(QIODevice::ReadOnly) || maps.readAll().size() <= 64 * 1024)
                 return QStringLiteral("its maps are not over 64 KB");
             return QString();
         },
         {"maphold mapped file %M/libm.so.6"}, true},
        {"a process chrooted onto the drive",
         [&] {
             const QByteArray root = QFile::encodeName(m);
             const pid_t child = ::fork();
             if (child == 0) {
                 if (::chroot(root.constData()) == 0 && ::chdir("/") == 0)
                     ::pause();
                 ::_exit(1);
             }
             children.push_back(child);
             TestEnvironment::waitUntil([&] { return QFileInfo(QStringLiteral("/proc/%1/root").arg(child)).symLinkTarget() == m; },
                                        std::chrono::seconds(5));
             return QString();
         },
         {"test_e2e root directory %M", "test_e2e working directory %M"}},
        {"a private mount namespace",
         [&] {
             hold("unshare", {"--mount", "--propagation", "private", "sleep", "300"}, m);
             return QString();
         },
         {"sleep working directory %M", "namespace mnt:[NS] private [\"sleep (PID)\"]"}},
        {"a slave mount namespace",
         [&] {
             // A slave of a shared mount: the unmount here reaches the copy.
             const QString error = step({"mount", "--make-shared", m});
             hold("unshare", {"--mount", "--propagation", "slave", "sleep", "300"}, m);
             return error;
         },
         {"sleep working directory %M", "namespace mnt:[NS] propagated [\"sleep (PID)\"]"}},
        {"another user's process",
         [&] {
             hold("setpriv", {"--reuid=65534", "--regid=65534", "--clear-groups", "sleep", "300"}, m);
             return QString();
         },
         {"other-users 1 [\"sleep (PID)\"]"}},
        {"a swap file",
         [&] {
             const QString swap = m + "/swapfile";
             QString error = step({"dd", "if=/dev/zero", "of=" + swap, "bs=1M", "count=8"});
             if (error.isEmpty())
                 error = step({"chmod", "600", swap});
             if (error.isEmpty())
                 error = step({"mkswap", swap});
             if (error.isEmpty() && !step({"swapon", swap}, {"swapoff", swap}).isEmpty())
                 return QStringLiteral("skip: swapon is not allowed here");
             return error;
         },
         {"swap %M/swapfile []"}, true},
        {"a submount",
         [&] {
             QDir().mkpath(m + "/inner");
             return step({"mount", "-t", "tmpfs", "tmpfs", m + "/inner"}, {"umount", m + "/inner"});
         },
         {"submount %M/inner [\"tmpfs\"]"}, true},
        {"an image attached from a file on the drive",
         [&] {
             QString error = step({"truncate", "-s", "8M", m + "/inner.img"});
             const auto attach = TestEnvironment::run("losetup", {"--find", "--show", m + "/inner.img"});
             if (attach.exitCode != 0)
                 return attach.err;
             // Detached only once udev has let go of it: wait, so the next case starts without it.
             undo.push_back([device = attach.out.trimmed()] {
                 TestEnvironment::run("losetup", {"-d", device});
                 TestEnvironment::waitUntil([&] { return !QFile::exists("/sys/block/" + device.mid(5) + "/loop/backing_file"); },
                                            std::chrono::seconds(10));
             });
             return error;
         },
         {"image %M/inner.img"}},
        {"nothing", [] { return QString(); }, {}, true},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        const QString error = row.setUp();
        if (error.startsWith(QLatin1String("skip: "))) {
            std::cout << row.name << ": " << error.toStdString() << std::endl;
        } else if (!error.isEmpty()) {
            ADD_FAILURE() << error.toStdString();
        } else {
            QStringList expected = row.expected;
            expected.replaceInStrings(QStringLiteral("%M"), m);
            expected.sort();
            const auto report = scan(targetAt(m));
            EXPECT_EQ(linesOf(report), expected) << "only the case's holders hold the fresh mount";
            EXPECT_EQ(report.scannedMappedFiles, row.mappedPass);
            EXPECT_GT(report.processCount, 0);
        }
        release();
    }
}

TEST_F(BlockerScan, AHolderOnAMountedBtrfsSubvolumeIsFound)
{
    LoopImage btrfs(QStringLiteral("Subvolumes"), 128, QStringLiteral("btrfs.img"), QStringLiteral("btrfs"));
    if (!btrfs.isReady())
        GTEST_SKIP() << "no btrfs here: " << btrfs.error().toStdString();
    ASSERT_TRUE(btrfs.mount()) << btrfs.error().toStdString();
    const QString sub = QFileInfo(btrfs.mountPath()).path() + "/sub";
    QDir().mkpath(sub);
    ASSERT_EQ(step({"btrfs", "subvolume", "create", btrfs.mountPath() + "/vol"}), QString());
    ASSERT_EQ(step({"mount", "-o", "subvol=vol", btrfs.device(), sub}, {"umount", sub}), QString());
    hold("/bin/sleep", {"300"}, sub);
    const auto report = scan(targetAt(btrfs.mountPath()));
    EXPECT_EQ(linesOf(report), QStringList{"sleep working directory " + sub});
    release();
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
    StallMeter stalls;
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
    const qint64 longestStallMs = stalls.stop();

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
