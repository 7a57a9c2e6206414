#include "E2E.h"

#include "Eject/BlockerScanner.h"
#include "Platform/Linux/LinuxBlockRegistry.h"
#include "Platform/Linux/LinuxPlatform.h"

#include "support/StallMeter.h"

#include <csignal>

#include <sys/wait.h>

using namespace mallowby;
using namespace mallowby::test;

namespace {

BlockerScanner realScanner()
{
    return LinuxPlatform::blockerScanner(std::make_shared<LinuxBlockRegistry>());
}

// A report as sorted lines: "NAME REASON PATH" per use, the holders' summaries (pids and
// namespace numbers masked), "image PATH".
QStringList linesOf(const BlockerReport& report)
{
    QStringList lines;
    for (const Blocker& b : report.blockers)
        for (const Blocker::Use& use : b.uses)
            lines << QStringLiteral("%1 %2 %3").arg(b.processName, Blocker::reasonText(use.reason), use.path);
    for (const SystemHolder& holder : report.holders)
        lines << holder.summary().replace(QRegularExpression("\\(\\d+\\)"), "(PID)").replace(QRegularExpression("mnt:\\[\\d+\\]"), "mnt:[NS]");
    for (const ImageBlocker& image : report.images)
        lines << "image " + image.imagePath;
    lines.sort();
    return lines;
}

} // namespace

// Each row holds the image in one way; the scan names exactly that holder, in the right words.
TEST_F(E2E, TheBlockerScanFindsEveryKindOfHolderWithTheRightWords)
{
    const QString m = image->mountPath();
    QFile data(m + "/data.bin");
    ASSERT_TRUE(data.open(QIODevice::WriteOnly) && data.write(QByteArray(8192, 'x')) == 8192);
    data.close();
    QString scanned;  // the mount scanned; the image's unless a row says otherwise
    struct Row {
        const char* name;
        std::function<QString()> setUp;  // an error text, or "skip: …"
        QList<QStringList> holders;      // then started in the mount, as "sleep"
        QStringList expected;            // "%M" is the image's mount path
        bool mappedPass = false;
    };
    const auto nothing = [] { return QString(); };
    const std::vector<Row> rows{
        {"working directory, open file, program run from the drive",
         [&] {
             QFile::copy("/bin/sleep", m + "/sleeper");
             hold("/bin/sleep", {"300"}, m);
             hold("/bin/sleep", {"300"}, "/", "sleep", m + "/data.bin");
             hold(m + "/sleeper", {"300"}, "/", "sleeper");
             return QString();
         },
         {}, {"sleep working directory %M", "sleep open file %M/data.bin", "sleeper mapped file %M/sleeper"}},
        {"a library mapped from the drive, in maps over 64 KB",
         [&] {
             QString libm;
             QFile self("/proc/self/maps");
             if (self.open(QIODevice::ReadOnly))
                 for (const QByteArray& line : self.readAll().split('\n'))
                     if (line.endsWith("/libm.so.6"))
                         libm = QString::fromUtf8(line.mid(line.indexOf('/')));
             if (libm.isEmpty() || !QFile::copy(libm, m + "/libm.so.6"))
                 return QStringLiteral("no libm.so.6 to copy");
             auto environment = QProcessEnvironment::systemEnvironment();
             environment.insert("LD_PRELOAD", m + "/libm.so.6");
             environment.insert("ASAN_OPTIONS", "verify_asan_link_order=0");  // a sanitizer build's maphold takes the preload
             auto& mapper = hold(TestEnvironment::mapholdBinary(), {QCoreApplication::applicationFilePath(), "4000"}, "/", "maphold",
                                 "/dev/null", environment);
             mapper.waitForReadyRead(5000);
             QFile maps(QStringLiteral("/proc/%1/maps").arg(mapper.processId()));
             return maps.open(QIODevice::ReadOnly) && maps.readAll().size() > 64 * 1024 ? QString() : "its maps are not over 64 KB";
         },
         {}, {"maphold mapped file %M/libm.so.6"}, true},
        {"a process chrooted onto the drive",
         [&] {
             const QByteArray root = QFile::encodeName(m);
             const pid_t child = ::fork();
             if (child == 0) {
                 if (::chroot(root.constData()) == 0 && ::chdir("/") == 0)
                     ::pause();
                 ::_exit(1);
             }
             undo.push_back([child] {
                 ::kill(child, SIGKILL);
                 ::waitpid(child, nullptr, 0);
             });
             // Past chroot and chdir both.
             const auto at = [&](const char* link) { return QFileInfo(QStringLiteral("/proc/%1/%2").arg(child).arg(link)).symLinkTarget() == m; };
             TestEnvironment::waitUntil([&] { return at("root") && at("cwd"); }, 5s);
             return QString();
         },
         {}, {"test_e2e root directory %M", "test_e2e working directory %M"}},
        {"a private mount namespace", nothing, {{"unshare", "--mount", "--propagation", "private", "sleep", "300"}},
         {"sleep working directory %M", "namespace mnt:[NS] private [\"sleep (PID)\"]"}},
        {"a slave mount namespace: the unmount here reaches the copy", [&] { return step({"mount", "--make-shared", m}); },
         {{"unshare", "--mount", "--propagation", "slave", "sleep", "300"}},
         {"sleep working directory %M", "namespace mnt:[NS] propagated [\"sleep (PID)\"]"}},
        {"another user's process", nothing, {{"setpriv", "--reuid=65534", "--regid=65534", "--clear-groups", "sleep", "300"}},
         {"other-users 1 [\"sleep (PID)\"]"}},
        {"a swap file",
         [&] {
             const QString swap = m + "/swapfile";
             QString error;
             for (const QStringList& command : {QStringList{"dd", "if=/dev/zero", "of=" + swap, "bs=1M", "count=8"}, QStringList{"chmod", "600", swap}, QStringList{"mkswap", swap}})
                 if (error.isEmpty())
                     error = step(command);
             return !error.isEmpty() || step({"swapon", swap}, {"swapoff", swap}).isEmpty() ? error : "skip: swapon is not allowed here";
         },
         {}, {"swap %M/swapfile []"}, true},
        {"a submount",
         [&] {
             QDir().mkpath(m + "/inner");
             return step({"mount", "-t", "tmpfs", "tmpfs", m + "/inner"}, {"umount", m + "/inner"});
         },
         {}, {"submount %M/inner [\"tmpfs\"]"}, true},
        {"an image attached from a file on the drive",
         [&] {
             const QString error = step({"truncate", "-s", "8M", m + "/inner.img"});
             const auto attach = TestEnvironment::run("losetup", {"--find", "--show", m + "/inner.img"});
             if (attach.exitCode != 0)
                 return error + attach.err;
             // Detached only once udev has let go of it, so the next row starts without it.
             undo.push_back([device = attach.out.trimmed()] {
                 TestEnvironment::run("losetup", {"-d", device});
                 TestEnvironment::waitUntil([&] { return !QFile::exists("/sys/block/" + device.mid(5) + "/loop/backing_file"); }, 10s);
             });
             return error;
         },
         {}, {"image %M/inner.img"}},
        {"a holder on a mounted btrfs subvolume (mounted at %M/sub)",
         [&] {
             auto btrfs = std::make_shared<LoopImage>("Subvolumes", 128, "btrfs.img", "btrfs");
             if (!btrfs->isReady())
                 return "skip: no btrfs here: " + btrfs->error();
             undo.push_back([btrfs] {});
             QDir().mkpath(m + "/sub");
             QString error = btrfs->mount() ? step({"btrfs", "subvolume", "create", btrfs->mountPath() + "/vol"}) : btrfs->error();
             if (error.isEmpty())
                 error = step({"mount", "-o", "subvol=vol", btrfs->device(), m + "/sub"}, {"umount", m + "/sub"});
             hold("/bin/sleep", {"300"}, m + "/sub");
             scanned = btrfs->mountPath();
             return error;
         },
         {}, {"sleep working directory %M/sub"}},
        {"nothing", nothing, {}, {}, true},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        scanned = m;
        const QString error = row.setUp();
        for (const QStringList& holder : row.holders)
            hold(holder.first(), holder.mid(1), m);
        EXPECT_TRUE(error.isEmpty() || error.startsWith("skip: ")) << error.toStdString();
        if (error.isEmpty()) {
            QStringList expected = row.expected;
            expected.replaceInStrings("%M", m);
            expected.sort();
            const auto target = targetAt(scanned);
            ASSERT_TRUE(target.has_value());
            const auto report = TestEnvironment::await(realScanner().scan(*target));
            ASSERT_TRUE(report.has_value());
            EXPECT_EQ(linesOf(*report), expected) << "only the row's holders hold the mount";
            EXPECT_EQ(report->scannedMappedFiles, row.mappedPass);
            EXPECT_GT(report->processCount, 0);
        }
        release();
    }
}

// A share whose server stops answering: the scan of it and of every other drive finishes, a
// desktop entry whose program lies on the share names the app (compared as text, never looked
// up there), and the main thread never waits meanwhile.
TEST_F(HungShare, TheBlockerScanFinishesForAStalledShareAndForEveryOtherDrive)
{
    HungMount share("/bin/sleep");
    ASSERT_TRUE(share.isMounted()) << share.error().toStdString();
    const QString prog = share.path() + "/prog";
    const qint32 pid = qint32(hold(prog, {"300"}, share.path(), "prog").processId());
    ASSERT_TRUE(TestEnvironment::waitUntil([&] { return ProcfsProcessTable().executablePath(pid) == prog; }, 5s));
    const auto stalled = targetAt(share.path()), root = targetAt("/");
    ASSERT_TRUE(stalled && root);
    share.stall();

    QTemporaryDir data;
    QDir().mkpath(data.filePath("applications"));
    QFile entry(data.filePath("applications/stalled-tool.desktop"));
    ASSERT_TRUE(entry.open(QIODevice::WriteOnly));
    entry.write("[Desktop Entry]\nName=Stalled Tool\nTryExec=" + QFile::encodeName(prog) + "\nExec=\"" + QFile::encodeName(prog) + "\" %f\n");
    entry.close();
    const QByteArray dataHome = qgetenv("XDG_DATA_HOME"), dataDirs = qgetenv("XDG_DATA_DIRS");
    qputenv("XDG_DATA_HOME", QFile::encodeName(data.path()));
    qputenv("XDG_DATA_DIRS", "/nonexistent");
    const BlockerScanner scanner = realScanner();
    qputenv("XDG_DATA_HOME", dataHome);
    qputenv("XDG_DATA_DIRS", dataDirs);

    StallMeter stalls;
    // Shared with the scans, which may outlive the test if they wait.
    auto onShare = std::make_shared<std::optional<BlockerReport>>(), onRoot = std::make_shared<std::optional<BlockerReport>>();
    const auto into = [](QCoro::Task<BlockerReport> scan, std::shared_ptr<std::optional<BlockerReport>> out) -> QCoro::Task<> {
        out->emplace(co_await std::move(scan));
    };
    into(scanner.scan(*stalled), onShare);
    into(scanner.scan(*root), onRoot);
    const bool finished = TestEnvironment::waitUntil([&] { return *onShare && *onRoot; }, 20s);
    std::optional<BlockerReport> later;
    // A later scan still gets a thread.
    if (finished)
        later = TestEnvironment::await(scanner.scan(*root), 20s);
    const qint64 longestStallMs = stalls.stop();
    // Unblock the kernel before anything waits for the holder.
    share.abort();
    release();

    ASSERT_TRUE(finished) << "a scan waited on the stalled share";
    EXPECT_TRUE(later.has_value());
    const BlockerReport& report = **onShare;
    EXPECT_GT((*onRoot)->blockers.size(), 1);
    EXPECT_FALSE(report.incomplete);
    EXPECT_LT(longestStallMs, StallMeter::limitMs);
    const auto held = std::find_if(report.blockers.cbegin(), report.blockers.cend(), [&](const Blocker& b) { return b.pid == pid; });
    ASSERT_NE(held, report.blockers.cend());
    EXPECT_EQ(held->processName, "prog");
    EXPECT_EQ(held->app ? held->app->name : QString(), "Stalled Tool");
    EXPECT_EQ(held->uses, (QList<Blocker::Use>{{Blocker::Reason::mappedFile, prog}, {Blocker::Reason::workingDirectory, share.path()}}));
}
