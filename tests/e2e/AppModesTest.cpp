#include "E2E.h"

#include <QScopeGuard>

#include <sys/statvfs.h>

using namespace mallowby;
using namespace mallowby::test;

// The volume dump and the diagnostics report list the image and its bind mount; a garbled
// settings file neither stops a launch nor is rewritten by reading it.
TEST_F(E2E, TheVolumeDumpAndTheReportListEveryMountWithFigures)
{
    QTemporaryDir dir;
    const QString bound = dir.filePath("bound");
    QDir().mkpath(bound);
    ASSERT_EQ(step({"mount", "--bind", image->mountPath(), bound}, {"umount", bound}), QString());
    const QByteArray garbled = "[General]\nmenuBarStyle=@Variant(\\0\\0\\0\\x7f\\0\\0\\0\\x1cZ)\n"
                               "lowSpaceThreshold=gigabytes:99999999999999999999\nvolumesShown=@ByteArray(\\xff\\xfe)\n"
                               "activityTrace=@Invalid()\npinnedVolumeID=\"unterminated\n=no key\n[broken section\naccent\n";

    QElapsedTimer elapsed;
    elapsed.start();
    AppProcess dump({{"MALLOWBY_DUMP_VOLUMES", QStringLiteral("1")}}, garbled);
    ASSERT_TRUE(endsWell(dump, 10s));
    const qint64 ms = elapsed.elapsed();
    QFile settings(dump.homePath("config/mallowby/mallowby.conf"));
    EXPECT_TRUE(settings.open(QIODevice::ReadOnly) && settings.readAll() == garbled) << "the settings file was rewritten";
    EXPECT_EQ(QDir(dump.homePath("config/mallowby")).entryList(QDir::Files), QStringList{"mallowby.conf"});
    const auto rows = table(dump.lines());
    EXPECT_EQ(rows.value(0), (QStringList{"name", "kind", "format", "protocol", "total", "available", "strict", "stale", "path"}));
    for (const auto& row : rows)
        EXPECT_EQ(row.size(), 9) << row.join('|').toStdString();
    const QStringList* root = rowAt(rows, "/");
    ASSERT_NE(root, nullptr);
    EXPECT_EQ((*root)[1], "internal");
    EXPECT_GT((*root)[4].toLongLong(), 0);
    EXPECT_GE((*root)[4].toLongLong(), (*root)[6].toLongLong());
    EXPECT_EQ((*root)[7], "false");
    for (const QString& path : {image->mountPath(), bound}) {
        SCOPED_TRACE(path.toStdString());
        const QStringList* row = rowAt(rows, path);
        ASSERT_NE(row, nullptr);
        EXPECT_EQ(row->mid(0, 3), (QStringList{label, "diskImage", "EXT4"}));
        EXPECT_GT((*row)[4].toLongLong(), 20 * 1024 * 1024);
        EXPECT_EQ((*row)[7], "false");
    }
    // With figures on every row it does not wait out its three seconds (another test's hung
    // mount on this machine would make it).
    if (std::all_of(rows.cbegin() + 1, rows.cend(), [](const QStringList& row) { return row.value(4) != "-"; })) {
        EXPECT_LT(ms, 2000);
    }

    // The report, without a display, quits by itself after 0.5 s to the launch modes and 2.0 s
    // (coarse timers may fire a little early), and lists both mounts and "/" as boot.
    elapsed.restart();
    AppProcess report({{"MALLOWBY_DIAGNOSTICS", QStringLiteral("1")}});
    ASSERT_TRUE(endsWell(report));
    EXPECT_GE(elapsed.elapsed(), 2300);
    const QStringList lines = report.lines();
    EXPECT_TRUE(QRegularExpression("^mallowby \\S+ \\(\\S+\\)$").match(lines.value(0)).hasMatch()) << lines.value(0).toStdString();
    EXPECT_EQ(lines.filter(QRegularExpression("^Report time: ")).size(), 1);
    EXPECT_EQ(lines.filter(QRegularExpression("^ {2,4}/ \u00B7 .* \u00B7 boot$")).size(), 1);
    for (const char* section : {"Recent eject failures", "Last blocker scan"})  // nothing was ejected here
        EXPECT_EQ(lines.value(lines.indexOf(QString::fromLatin1(section)) + 1), "  none") << section;
    EXPECT_TRUE(lines.contains("Drives"));
    const QRegularExpression line(
        QStringLiteral("^ +%1 \u00B7 diskImage \u00B7 EXT4 \u00B7 - \u00B7 %2 \u00B7 \\d+ available, ").arg(label, image->device().mid(5)));
    EXPECT_EQ(lines.filter(line).size(), 2) << lines.join('\n').toStdString();
}


// The rate dump, while the image is written, shows it under the image file's name; a value
// that is no whole number runs the volume dump instead.
TEST_F(E2E, TheRateDumpShowsWritesToTheImageUnderItsName)
{
    const QString disk = image->device().mid(5);
    // 16 MB written over and over while the dump runs.
    bool writing = true;
    QProcess writer;
    QObject::connect(&writer, &QProcess::finished, [&] {
        if (writing)
            writer.start();
    });
    const auto stop = qScopeGuard([&] {
        writing = false;
        writer.waitForFinished(10000);
    });
    writer.start("dd", directWrite(image->mountPath() + "/data", 16));
    QElapsedTimer elapsed;
    elapsed.start();
    AppProcess dump({{"MALLOWBY_DUMP_RATES", QStringLiteral("4")}});
    ASSERT_TRUE(endsWell(dump, 15s));
    EXPECT_LT(elapsed.elapsed(), 8000);
    const auto rows = table(dump.lines());
    ASSERT_FALSE(rows.isEmpty());
    EXPECT_EQ(rows[0], (QStringList{"time", "drive", "disks", "kind", "read", "write"}));
    QStringList times;
    int imageRows = 0, written = 0;
    for (const auto& row : rows.mid(1)) {
        ASSERT_EQ(row.size(), 6) << row.join('|').toStdString();
        if (row[1] == "external total")
            times.append(row[0]);
        if (row[2] == disk) {
            ++imageRows;
            EXPECT_EQ(row.mid(1, 3), (QStringList{"disk.img", disk, "diskImage"}));
            written += row[5].toLongLong() > 0;
        }
    }
    // One block per second for four seconds; the last at or beyond 4.0.
    EXPECT_GE(times.size(), 3);
    EXPECT_LE(times.size(), 5);
    EXPECT_GE(times.value(times.size() - 1).toDouble(), 4.0);
    EXPECT_EQ(imageRows, times.size());
    EXPECT_GE(written, 2) << "blocks with writes to " << disk.toStdString();

    for (const auto& [value, header] : {std::pair{"1.5", "name"}, std::pair{"+1", "time"}}) {
        AppProcess other({{"MALLOWBY_DUMP_RATES", QString(value)}});
        ASSERT_TRUE(endsWell(other, 10s)) << value;
        EXPECT_EQ(table(other.lines()).value(0).value(0), header) << value;
    }
}


// The image filled while the app runs is announced once, within seconds.
TEST_F(E2E, AnImageFilledWhileTheAppRunsIsAnnouncedLowOnSpaceOnce)
{
    AppProcess app({{"MALLOWBY_LOG_NOTIFICATIONS", QStringLiteral("1")}}, "[General]\nnotifyLowSpace=true\nlowSpaceThreshold=percent:20\n");
    ASSERT_TRUE(app.process().waitForStarted(5000));
    // The image is first seen with plenty of room, which announces nothing.
    TestEnvironment::waitUntil([] { return false; }, 3s);
    ASSERT_EQ(app.process().state(), QProcess::Running) << app.process().readAllStandardError().toStdString();
    struct statvfs figures {};
    ASSERT_EQ(::statvfs(QFile::encodeName(image->mountPath()).constData(), &figures), 0);
    const qint64 fill = qint64(figures.f_bavail - figures.f_blocks / 20) * qint64(figures.f_frsize);  // to 5 % free
    ASSERT_EQ(step({"fallocate", "-l", QString::number(fill), image->mountPath() + "/filler"}), QString());
    QElapsedTimer sinceFill;
    sinceFill.start();
    const QString prefix = QStringLiteral("notification: %1 is low on space | ").arg(label);
    const QString notice = app.waitForLine([&](const QString& line) { return line.startsWith(prefix); }, 20s);
    const qint64 announcedAfter = sinceFill.elapsed();
    ASSERT_FALSE(notice.isEmpty()) << "no notice within 20 s; output:\n" << app.lines().join('\n').toStdString();
    EXPECT_LT(announcedAfter, 5000);
    // Four more reads of the image, now low, stay quiet.
    TestEnvironment::waitUntil([] { return false; }, 8s);
    EXPECT_EQ(app.process().state(), QProcess::Running);
    EXPECT_EQ(app.lines().filter(prefix).size(), 1) << app.lines().join('\n').toStdString();
    // No session bus here: not authorized, so only the echo.
    EXPECT_TRUE(QRegularExpression(QStringLiteral("^notification: %1 is low on space \\| [\\d.]+ [KMG]B free of [\\d.]+ [KMG]B, "
                                                  "below 20 %\\. \\| authorization 1$").arg(label))
                    .match(notice)
                    .hasMatch())
        << notice.toStdString();
}
