#include "support/AppProcess.h"
#include "support/HungMount.h"
#include "support/LoopImage.h"
#include "support/TestEnvironment.h"

#include <QCoreApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QProcess>
#include <QRegularExpression>
#include <QTemporaryDir>

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <iostream>

using namespace mallowby::test;

namespace {

// The app in volume-dump mode, with no display of any kind.
void startDump(QProcess& process)
{
    auto environment = QProcessEnvironment::systemEnvironment();
    for (const char* key : {"DISPLAY", "WAYLAND_DISPLAY", "QT_QPA_PLATFORM", "MALLOWBY_DUMP_RATES"})
        environment.remove(QString::fromLatin1(key));
    environment.insert(QStringLiteral("MALLOWBY_DUMP_VOLUMES"), QStringLiteral("1"));
    process.setProcessEnvironment(environment);
    process.start(TestEnvironment::mallowbyBinary(), {});
}

// The dump's lines as fields, header first.
QList<QStringList> table(const QString& out)
{
    QList<QStringList> rows;
    for (const QString& line : out.split(QLatin1Char('\n'), Qt::SkipEmptyParts))
        rows << line.split(QLatin1Char('\t'));
    return rows;
}

const QStringList* rowFor(const QList<QStringList>& rows, const QString& path)
{
    for (const auto& row : rows)
        if (row.size() == 9 && row[8] == path)
            return &row;
    return nullptr;
}

} // namespace

TEST(VolumeDump, PrintsEveryMountWithFiguresAndExits)
{
    if (const auto missing = TestEnvironment::missingForLoopDevices())
        GTEST_SKIP() << missing->toStdString();
    if (!TestEnvironment::udevdRuns())
        GTEST_SKIP() << "udevd is not running (scripts/services starts it); labels come from udev";
    const QString label = QStringLiteral("Bind%1").arg(QCoreApplication::applicationPid());
    LoopImage image(label);
    ASSERT_TRUE(image.isReady()) << image.error().toStdString();
    ASSERT_TRUE(image.mount()) << image.error().toStdString();
    QTemporaryDir dir;
    const QString bound = dir.filePath(QStringLiteral("bound"));
    QDir().mkpath(bound);
    ASSERT_EQ(TestEnvironment::run(QStringLiteral("mount"), {QStringLiteral("--bind"), image.mountPath(), bound}).exitCode, 0);
    struct Unbind {
        QString path;
        ~Unbind() { TestEnvironment::run(QStringLiteral("umount"), {path}); }
    } unbind{bound};

    QElapsedTimer elapsed;
    elapsed.start();
    QProcess process;
    startDump(process);
    ASSERT_TRUE(process.waitForFinished(10000)) << "the dump did not end";
    const qint64 ms = elapsed.elapsed();
    EXPECT_EQ(process.exitStatus(), QProcess::NormalExit);
    EXPECT_EQ(process.exitCode(), 0) << process.readAllStandardError().toStdString();
    const auto rows = table(QString::fromUtf8(process.readAllStandardOutput()));
    ASSERT_FALSE(rows.isEmpty());
    EXPECT_EQ(rows[0], (QStringList{"name", "kind", "format", "protocol", "total", "available", "strict", "stale", "path"}));
    for (const auto& row : rows)
        EXPECT_EQ(row.size(), 9) << row.join(QLatin1Char('|')).toStdString();
    const QStringList* root = rowFor(rows, QStringLiteral("/"));
    ASSERT_NE(root, nullptr);
    EXPECT_EQ((*root)[1], "internal");
    EXPECT_GT((*root)[4].toLongLong(), 0);
    EXPECT_GE((*root)[4].toLongLong(), (*root)[6].toLongLong());
    EXPECT_EQ((*root)[7], "false");
    // The image by its label, and its bind mount, both with figures.
    for (const QString& path : {image.mountPath(), bound}) {
        const QStringList* row = rowFor(rows, path);
        ASSERT_NE(row, nullptr) << path.toStdString();
        EXPECT_EQ(row->mid(0, 3), (QStringList{label, "diskImage", "EXT4"})) << path.toStdString();
        EXPECT_GT((*row)[4].toLongLong(), 20 * 1024 * 1024) << path.toStdString();
        EXPECT_EQ((*row)[7], "false");
    }
    // With figures on every row the dump does not wait out its three seconds (another test's
    // hung mount on this machine would make it).
    if (std::all_of(rows.cbegin() + 1, rows.cend(), [](const QStringList& row) { return row[4] != "-"; }))
        EXPECT_LT(ms, 2000);
    std::cout << "volume dump with a bind mount: " << ms << " ms\n";

    // The diagnostics report, without a display, quits by itself after 0.5 s to the launch modes
    // and 2.0 s (coarse timers may fire a little early), and lists both mounts and "/" as boot.
    elapsed.restart();
    AppProcess report({{QStringLiteral("MALLOWBY_DIAGNOSTICS"), QStringLiteral("1")}});
    ASSERT_TRUE(report.process().waitForFinished(15000)) << "the diagnostics mode did not end";
    EXPECT_GE(elapsed.elapsed(), 2300);
    EXPECT_EQ(report.process().exitCode(), 0);
    const QStringList lines = report.lines();
    EXPECT_TRUE(QRegularExpression(QStringLiteral("^mallowby \\S+ \\(\\S+\\)$")).match(lines.value(0)).hasMatch());
    EXPECT_EQ(lines.filter(QRegularExpression(QStringLiteral("^Report time: "))).size(), 1);
    EXPECT_EQ(lines.filter(QRegularExpression(QStringLiteral("^ {2,4}/ \u00B7 .* \u00B7 boot$"))).size(), 1);
    for (const char* section : {"Recent eject failures", "Last blocker scan"})  // nothing happened to eject here
        EXPECT_EQ(lines.value(lines.indexOf(QString::fromLatin1(section)) + 1), "  none") << section;
    EXPECT_TRUE(lines.contains("Drives"));
    const QRegularExpression line(QStringLiteral("^ +%1 \u00B7 diskImage \u00B7 EXT4 \u00B7 - \u00B7 %2 \u00B7 \\d+ available, ")
                                      .arg(label, image.device().mid(5)));
    EXPECT_EQ(lines.filter(line).size(), 2) << lines.join('\n').toStdString();
}

TEST(VolumeDump, AHungShareCostsTheWaitOnlyAndSigtermEndsAReadAtOnce)
{
    if (const auto missing = HungMount::missing())
        GTEST_SKIP() << missing->toStdString();
    HungMount mount;
    ASSERT_TRUE(mount.isMounted()) << mount.error().toStdString();

    QElapsedTimer elapsed;
    elapsed.start();
    QProcess dump;
    startDump(dump);
    QString out;
    qint64 printedAt = -1;
    const bool printed = TestEnvironment::waitUntil(
        [&] {
            out += QString::fromUtf8(dump.readAllStandardOutput());
            const auto rows = table(out);
            printedAt = elapsed.elapsed();
            return rowFor(rows, mount.path()) && rowFor(rows, QStringLiteral("/"));
        },
        std::chrono::seconds(10));
    const bool exited = dump.waitForFinished(1000);
    const qint64 goneAfter = elapsed.elapsed() - printedAt;
    if (!exited)
        dump.kill();

    ASSERT_TRUE(printed) << out.toStdString();
    EXPECT_LT(printedAt, 3500);
    const auto rows = table(out);
    const QStringList* row = rowFor(rows, mount.path());
    EXPECT_EQ(row->mid(4, 4), (QStringList{"-", "-", "-", "-"}));
    EXPECT_EQ((*row)[0], "hung share");
    EXPECT_NE((*rowFor(rows, QStringLiteral("/")))[4], "-");
    EXPECT_TRUE(exited) << "the dump was still there a second after its table";
    EXPECT_LT(goneAfter, 1000);
    std::printf("[ figure ] volume dump, table to gone with a hung share: %lld ms\n", goneAfter);
    EXPECT_EQ(dump.exitStatus(), QProcess::NormalExit);
    EXPECT_EQ(dump.exitCode(), 0);

    // A second dump, ended while its read of the share hangs.
    QProcess second;
    startDump(second);
    ASSERT_TRUE(second.waitForStarted());
    const qint64 pid = second.processId();
    // The share's read is stuck in a helper of the dump; no thread of the dump itself waits.
    const auto helperStuck = [&] {
        const auto children = childrenOf(pid);
        return std::any_of(children.cbegin(), children.cend(), [](qint64 child) { return threadStates(child) == "D"; });
    };
    const bool stuck = TestEnvironment::waitUntil(helperStuck, std::chrono::seconds(30));
    const QString ownStates = threadStates(pid);

    elapsed.restart();
    second.terminate();
    // Generous for slow builds; a dump that waited out its figures would print its table first.
    const bool ended = second.waitForFinished(30000);
    const qint64 ms = elapsed.elapsed();
    // Unblock the kernel before anything waits for a dump.
    mount.abort();
    for (QProcess* process : {&dump, &second})
        process->waitForFinished(10000);

    EXPECT_TRUE(stuck) << "no helper of the dump waited on the share";
    EXPECT_FALSE(ownStates.contains(QLatin1Char('D'))) << ownStates.toStdString();
    EXPECT_TRUE(ended);
    std::printf("[ figure ] volume dump, SIGTERM to gone with a hung share: %lld ms\n", ms);
    EXPECT_EQ(second.exitStatus(), QProcess::NormalExit);
    EXPECT_EQ(second.exitCode(), 0);
    EXPECT_TRUE(second.readAllStandardOutput().isEmpty()) << "the table came before the figures were awaited";
}
