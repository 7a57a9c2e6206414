#include "E2E.h"

#include "Eject/DiskArbitrationClient.h"
#include "Platform/BlockRegistry.h"
#include "Platform/Linux/LinuxPlatform.h"
#include "Platform/Linux/UDisks2Service.h"

using namespace mallowby;
using namespace mallowby::test;

namespace {

EjectTarget targetOf(const DiskArbitrationClient& client, const QString& bsdName, const QString& name)
{
    return {bsdName, name, VolumeKind::diskImage, client.platform().registry->members(bsdName), std::nullopt};
}

} // namespace

// A holder makes an eject busy; forced, the unmount is lazy: the file system lives on, holding
// the device, while the holder stays, and the eject step waits for it. Shares and disks that are
// gone are not found.
TEST_F(E2E, TheClientFindsAHeldImageBusyAndForceWinsAndWhatIsGoneIsNotFound)
{
    const DiskArbitrationClient client(LinuxPlatform::diskArbitration());
    const EjectTarget target = targetOf(client, image->device().mid(5), label);
    ASSERT_EQ(target.members.size(), 1);
    ASSERT_EQ(client.mounts(target).size(), 1);
    hold("/bin/sleep", {"300"}, image->mountPath());
    const auto refused = TestEnvironment::await(client.eject(target, false));
    ASSERT_TRUE(refused.has_value() && refused->has_value());
    EXPECT_EQ(**refused, EjectFailure::busy());
    EXPECT_EQ(client.mounts(target).size(), 1);
    EXPECT_TRUE(image->isAttached());
    bool held = false;
    const auto forced = TestEnvironment::await(client.eject(target, true, [&]() -> QCoro::Task<> { held = !co_await client.isReleased(target); }));
    ASSERT_TRUE(forced.has_value());
    EXPECT_EQ(*forced, std::nullopt);
    EXPECT_TRUE(client.mounts(target).isEmpty());
    EXPECT_TRUE(held);

    const EjectTarget share{"//nas/gone", "gone", VolumeKind::network, {}, QStringLiteral("/mnt/never-mounted")};
    const auto failure = TestEnvironment::await(client.eject(share, false));
    ASSERT_TRUE(failure.has_value() && failure->has_value());
    EXPECT_EQ(**failure, EjectFailure::other(Dissent::notFound, "/mnt/never-mounted not found"));
    const auto answer = TestEnvironment::await(UDisks2Service().unmountDisk("sdzz9", false));
    ASSERT_TRUE(answer.has_value() && answer->has_value());
    EXPECT_EQ(**answer, (Dissent{Dissent::notFound, "sdzz9 not found"}));
}

// `mount -o loop` sets the loop device up with auto-clear: the kernel detaches it with the last
// unmount, before the eject step asks udisks2 to delete it; that is a success.
TEST_F(E2EBare, AnImageMountedWithTheLoopOptionEjectsAsASuccess)
{
    QTemporaryDir dir(QDir::tempPath() + "/mallowby-autoclear-XXXXXX");
    const QString file = dir.filePath("autoclear.img"), mountPath = dir.filePath("mnt");
    QDir().mkpath(mountPath);
    ASSERT_EQ(step({"truncate", "-s", "32M", file}), QString());
    ASSERT_EQ(step({"mkfs.ext4", "-q", "-L", "AutoClear", file}), QString());
    ASSERT_EQ(step({"mount", "-o", "loop", file, mountPath}, {"umount", mountPath}), QString());
    const QString device = TestEnvironment::run("findmnt", {"-n", "-o", "SOURCE", mountPath}).out.trimmed();
    const QString bsdName = device.mid(5);
    ASSERT_EQ(TestEnvironment::run("cat", {"/sys/block/" + bsdName + "/loop/autoclear"}).out.trimmed(), "1");
    ASSERT_TRUE(TestEnvironment::waitUntil([&] { return TestEnvironment::run("udisksctl", {"info", "-b", device}).exitCode == 0; }, 10s));
    const DiskArbitrationClient client(LinuxPlatform::diskArbitration());
    const auto failure = TestEnvironment::await(client.eject(targetOf(client, bsdName, "AutoClear"), false));
    ASSERT_TRUE(failure.has_value());
    EXPECT_EQ(*failure, std::nullopt) << (*failure)->summary().toStdString();
    EXPECT_NE(TestEnvironment::run("mountpoint", {"-q", mountPath}).exitCode, 0);
    EXPECT_TRUE(TestEnvironment::waitUntil([&] { return !QFile::exists("/sys/block/" + bsdName + "/loop/backing_file"); }, 5s));
}

// The app's inspect and eject modes on the image, idle and held: what it prints, and that a
// busy drive ejects by itself once its holder ends.
TEST_F(E2E, TheInspectAndEjectModesReportTheHoldersAndEject)
{
    const QRegularExpression scan("^scan: (\\d+) processes, ([0-9.e-]+) seconds$");
    const auto printed = [](const char* prefix) { return [prefix](const QString& line) { return line.startsWith(prefix); }; };
    {
        AppProcess inspect({{"MALLOWBY_INSPECT", image->mountPath()}});
        const QString line = inspect.waitForLine(printed("scan:"), 15s);
        const auto match = scan.match(line);
        ASSERT_TRUE(match.hasMatch()) << inspect.lines().join('\n').toStdString();
        EXPECT_GT(match.captured(1).toInt(), 1);
        EXPECT_GT(match.captured(2).toDouble(), 0.0);
        EXPECT_EQ(inspect.lines(), QStringList{line}) << "an idle drive has no holders, and inspecting ejects nothing";
        EXPECT_TRUE(image->isInMountTable());
    }
    QProcess& holder = hold("/bin/sleep", {"300"}, image->mountPath());
    AppProcess busy({{"MALLOWBY_EJECT", image->mountPath()}});
    const QString holderLine = busy.waitForLine(printed(qPrintable(QString::number(holder.processId()) + ' ')), 15s);
    ASSERT_FALSE(holderLine.isEmpty()) << busy.lines().join('\n').toStdString();
    EXPECT_EQ(holderLine, QStringLiteral("%1 sleep - false [\"working directory %2\"]").arg(holder.processId()).arg(image->mountPath()));
    EXPECT_EQ(busy.lines().filter(QRegularExpression("^ejected: ")), QStringList{"ejected: false busy"});
    EXPECT_EQ(busy.lines().filter(scan).size(), 1);
    EXPECT_TRUE(image->isInMountTable());
    release();
    EXPECT_TRUE(TestEnvironment::waitUntil([&] { return !image->isInMountTable() && !image->isAttached(); }, 10s));
    EXPECT_EQ(busy.process().state(), QProcess::Running);
    image->markEjected();
}

TEST_F(E2E, TheEjectModeEjectsAnIdleImage)
{
    AppProcess app({{"MALLOWBY_EJECT", image->mountPath()}});
    ASSERT_FALSE(app.waitForLine([](const QString& line) { return line.startsWith("scan:"); }, 15s).isEmpty()) << app.lines().join('\n').toStdString();
    EXPECT_EQ(app.lines(), (QStringList{"ejected: true -", "scan: 0 processes, 0.0 seconds"}));
    EXPECT_FALSE(image->isInMountTable());
    EXPECT_TRUE(TestEnvironment::waitUntil([&] { return !image->isAttached(); }, 5s));
    image->markEjected();
}
