#include "Diagnostics/Diagnostics.h"

#include "support/TestEnvironment.h"

#include <QTemporaryDir>

#include <gtest/gtest.h>

using namespace mallowby;
using namespace mallowby::test;
using namespace std::chrono_literals;

namespace {

const QTimeZone plusOne(3600);
const QDateTime reportTime = QDateTime::fromMSecsSinceEpoch(1709644029750, QTimeZone::utc());  // 2024-03-05 13:07:09.750 UTC

QStringList report(const QList<Volume>& volumes, const QList<Drive>& drives, const QList<Ejector::LogEntry>& log,
                   const std::optional<Ejector::ScanSummary>& scan, const QTimeZone& zone = plusOne, const QStringList& settings = {})
{
    const Diagnostics::Environment environment{"1.2", "34", "Debian GNU/Linux 12 (bookworm), kernel 6.1.0-18-amd64",
                                               "QEMU Standard PC (Q35 + ICH9, 2009)", settings};
    return Diagnostics::report(environment, volumes, drives, log, scan, reportTime, zone).split('\n');
}

Volume volume(const QString& id, const QString& name, VolumeKind kind, std::optional<QString> protocol, std::optional<Space> space)
{
    Volume v;
    v.id = id;
    v.name = name;
    v.bsdName = id.startsWith("/dev/") ? std::optional(id.mid(5)) : std::nullopt;
    v.kind = kind;
    v.format = "ext4";
    v.deviceProtocol = protocol;
    v.space = space;
    return v;
}

Drive drive(const QString& name, std::optional<QString> protocol, VolumeKind kind, QList<BlockDevice> members, QStringList ids, bool statistics)
{
    Drive d;
    d.id = QString::number(members.first().driverID);
    d.name = name;
    d.deviceProtocol = protocol;
    d.kind = kind;
    d.members = members;
    d.volumeIDs = ids;
    d.readRate = statistics ? std::optional(0.0) : std::nullopt;
    return d;
}

} // namespace

TEST(DiagnosticsReport, NothingToReportStillGivesEverySection)
{
    const QStringList head{"mallowby 1.2 (34)", "Debian GNU/Linux 12 (bookworm), kernel 6.1.0-18-amd64", "QEMU Standard PC (Q35 + ICH9, 2009)",
                           "Report time: 2024-03-05T14:07:09+0100"};
    EXPECT_EQ(report({}, {}, {}, std::nullopt),
              (head + QStringList{"", "Drives", "  none", "", "Recent eject failures", "  none", "", "Last blocker scan", "  none", ""}));
    EXPECT_EQ(report({}, {}, {}, std::nullopt, plusOne, {"style icon", "units decimal"}).mid(3, 3),
              (QStringList{head[3], "Settings: style icon, units decimal", ""}));
}

TEST(DiagnosticsReport, DrivesListTheirVolumesAndTheRestComeAfter)
{
    QList<Volume> listed{volume("/dev/sdb1", "Backup", VolumeKind::external, "USB", Space{1000, 400, 300, false}),
                         volume("/dev/sdb2", "Photos", VolumeKind::external, "USB", Space{2000, 10, 5, true}),
                         volume("/dev/sdb2", "Photos again", VolumeKind::external, std::nullopt, std::nullopt),
                         volume("/dev/nvme0n1p2", "/", VolumeKind::internal, "NVMe", Space{500'107'862'016, 123'456'789, 100, false}),
                         volume("//nas/share", "share", VolumeKind::network, std::nullopt, std::nullopt)};
    listed[3].isBoot = true;
    listed[4].format = "SMB";
    const QList<Drive> drives{
        drive("SanDisk Cruzer Blade", "USB", VolumeKind::external, {{12, "sdb"}}, {"/dev/sdb1", "gone", "/dev/sdb2"}, true),
        drive("2 × WDC WD40EFRX-68N", std::nullopt, VolumeKind::internal, {{1, "sda"}, {2, "sdc"}}, {"unknown"}, false),
        drive("Samsung SSD 970 EVO Plus 1TB", "NVMe", VolumeKind::internal, {{3, "nvme0n1"}}, {"/dev/nvme0n1p2"}, true),
    };
    // Of two volumes with one id, the first; an id naming no volume is skipped.
    EXPECT_EQ(report(listed, drives, {}, std::nullopt).mid(5, 12),
              (QStringList{"Drives", "  SanDisk Cruzer Blade · external · USB · sdb · I/O statistics",
                           "    Backup · external · ext4 · USB · sdb1 · 400 available, 300 strict, 1000 total",
                           "    Photos · external · ext4 · USB · sdb2 · 10 available, 5 strict, 2000 total, stale",
                           "  2 × WDC WD40EFRX-68N · internal · - · sda+sdc · no I/O statistics",
                           "  Samsung SSD 970 EVO Plus 1TB · internal · NVMe · nvme0n1 · I/O statistics",
                           "    / · internal · ext4 · NVMe · nvme0n1p2 · 123456789 available, 100 strict, 500107862016 total · boot", "",
                           "Volumes without a drive", "  share · network · SMB · - · - · space not read", "", "Recent eject failures"}));
}

TEST(DiagnosticsReport, FailuresAndTheLastScanInTheReportsZone)
{
    const QList<Ejector::LogEntry> log{
        {QDateTime::fromMSecsSinceEpoch(1709640000000, QTimeZone::utc()), "Backup", VolumeKind::external, EjectFailure::busy()},
        {QDateTime::fromMSecsSinceEpoch(1709640061999, QTimeZone::utc()), "Installer", VolumeKind::diskImage, EjectFailure::notPermitted("dockerd")},
        {QDateTime(), "Broken date", VolumeKind::external, EjectFailure::exclusiveAccess()},
    };
    const auto withScan = [&](Clock::Duration duration, const QTimeZone& zone) {
        return report({}, {}, log, Ejector::ScanSummary{duration, 412, 3, 1, true, {"swap /media/usb/swapfile []", "nfs-export /media/usb/share []"}},
                      zone);
    };
    const QStringList utc = withScan(1'499'600ns, QTimeZone::utc());
    EXPECT_EQ(utc[3], "Report time: 2024-03-05T13:07:09Z");
    EXPECT_EQ(utc.mid(8), (QStringList{"Recent eject failures", "  2024-03-05T12:00:00Z · Backup · external · busy",
                                      "  2024-03-05T12:01:01Z · Installer · diskImage · not permitted (dockerd)",
                                      "  - · Broken date · external · exclusive access", "", "Last blocker scan",
                                      "  1 ms · 412 processes · 3 holding · 1 disk images · mapped-file pass yes",
                                      "  held by swap /media/usb/swapfile []", "  held by nfs-export /media/usb/share []", ""}));
    const QStringList behind = withScan(1'500'000ns, QTimeZone(-(3 * 3600 + 30 * 60)));
    EXPECT_EQ(QStringList({behind[3], behind[9], behind[14].section(" · ", 0, 0)}),
              QStringList({"Report time: 2024-03-05T09:37:09-0330", "  2024-03-05T08:30:00-0330 · Backup · external · busy", "  2 ms"}));
    EXPECT_EQ(withScan(0ns, plusOne)[14].section(" · ", 0, 0), "  0 ms");
    EXPECT_EQ(withScan(2s + 499'999'999ns, plusOne)[14].section(" · ", 0, 0), "  2500 ms");
}

TEST(DiagnosticsEnvironment, SystemFactsComeFromOsReleaseTheKernelAndDmi)
{
    QTemporaryDir empty;
    const QList<std::tuple<QString, QString, QString>> rows{
        {TestEnvironment::dataPath("system/debian-vm"), "Debian GNU/Linux 12 (bookworm), kernel 6.1.0-18-amd64",
         "QEMU Standard PC (Q35 + ICH9, 2009)"},
        {TestEnvironment::dataPath("system/odd-firmware"), "Acme \"Rolling\" Linux 7 \"Zebra\"", "Acme Box \uFFFD 3 second line"},
        {empty.path(), "Linux", "unknown computer"},
    };
    for (const auto& [root, os, model] : rows) {
        const auto environment = Diagnostics::Environment::current({"style icon"}, root);
        EXPECT_EQ(QStringList({environment.appVersion, environment.build, environment.osVersion, environment.model}),
                  QStringList({"dev", "?", os, model}))
            << root.toStdString();
        EXPECT_EQ(environment.settings, QStringList{"style icon"});
    }
}
