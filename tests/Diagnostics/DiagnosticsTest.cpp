#include "Diagnostics/Diagnostics.h"

#include "support/TestEnvironment.h"

#include <QTemporaryDir>

#include <gtest/gtest.h>

using namespace mallowby;
using namespace mallowby::test;
using namespace std::chrono_literals;

namespace {

const QTimeZone plusOne(3600);
// 2024-03-05 13:07:09.750 UTC.
const QDateTime reportTime = QDateTime::fromMSecsSinceEpoch(1709644029750, QTimeZone::utc());

Diagnostics::Environment environment(QStringList settings = {})
{
    return {"1.2", "34", "Debian GNU/Linux 12 (bookworm), kernel 6.1.0-18-amd64", "QEMU Standard PC (Q35 + ICH9, 2009)",
            std::move(settings)};
}

QStringList lines(const QString& report) { return report.split('\n'); }

} // namespace

TEST(DiagnosticsReport, NothingToReportStillGivesEverySection)
{
    const QString report = Diagnostics::report(environment(), {}, {}, {}, std::nullopt, reportTime, plusOne);
    EXPECT_EQ(lines(report), (QStringList{"mallowby 1.2 (34)",
                                          "Debian GNU/Linux 12 (bookworm), kernel 6.1.0-18-amd64",
                                          "QEMU Standard PC (Q35 + ICH9, 2009)",
                                          "Report time: 2024-03-05T14:07:09+0100",
                                          "",
                                          "Drives",
                                          "  none",
                                          "",
                                          "Recent eject failures",
                                          "  none",
                                          "",
                                          "Last blocker scan",
                                          "  none",
                                          ""}));

    const QString withSettings = Diagnostics::report(environment({"style icon", "units decimal"}), {}, {}, {}, std::nullopt,
                                                     reportTime, plusOne);
    EXPECT_EQ(lines(withSettings).mid(3, 3),
              (QStringList{"Report time: 2024-03-05T14:07:09+0100", "Settings: style icon, units decimal", ""}));
}

TEST(DiagnosticsReport, DrivesListTheirVolumesAndTheRestComeAfter)
{
    const auto ext4 = [](QString id, QString name, VolumeKind kind, std::optional<QString> protocol, std::optional<Space> space) {
        return Volume{.id = id, .name = name, .bsdName = id.mid(5), .kind = kind, .format = "ext4", .deviceProtocol = protocol, .space = space};
    };
    QList<Volume> listed{ext4("/dev/sdb1", "Backup", VolumeKind::external, "USB", Space{1000, 400, 300, false}),
                         ext4("/dev/sdb2", "Photos", VolumeKind::external, "USB", Space{2000, 10, 5, true}),
                         ext4("/dev/sdb2", "Photos again", VolumeKind::external, std::nullopt, std::nullopt),
                         ext4("/dev/nvme0n1p2", "/", VolumeKind::internal, "NVMe", Space{500'107'862'016, 123'456'789, 100, false}),
                         Volume{.id = "//nas/share", .name = "share", .kind = VolumeKind::network, .format = "SMB"}};
    listed[3].isBoot = true;
    const auto drive = [](QString name, VolumeKind kind, std::optional<QString> protocol, QList<BlockDevice> members, QStringList ids,
                          bool statistics = true) {
        return Drive{.id = QString::number(members.first().driverID), .name = name, .deviceProtocol = protocol, .kind = kind,
                     .members = members, .volumeIDs = ids, .readRate = statistics ? std::optional(0.0) : std::nullopt};
    };
    const QList<Drive> drives{
        drive("SanDisk Cruzer Blade", VolumeKind::external, "USB", {{12, "sdb"}}, {"/dev/sdb1", "gone", "/dev/sdb2"}),
        drive("2 \u00D7 WDC WD40EFRX-68N", VolumeKind::internal, std::nullopt, {{1, "sda"}, {2, "sdc"}}, {"unknown"}, false),
        drive("Samsung SSD 970 EVO Plus 1TB", VolumeKind::internal, "NVMe", {{3, "nvme0n1"}}, {"/dev/nvme0n1p2"}),
    };
    const QStringList report = lines(Diagnostics::report(environment(), listed, drives, {}, std::nullopt, reportTime, plusOne));
    const QString s = QStringLiteral(" \u00B7 ");
    EXPECT_EQ(report.mid(4, 14),
              (QStringList{"",
                           "Drives",
                           "  SanDisk Cruzer Blade" + s + "external" + s + "USB" + s + "sdb" + s + "I/O statistics",
                           "    Backup" + s + "external" + s + "ext4" + s + "USB" + s + "sdb1" + s
                               + "400 available, 300 strict, 1000 total",
                           // Of two volumes with one id, the first; an id naming no volume is skipped.
                           "    Photos" + s + "external" + s + "ext4" + s + "USB" + s + "sdb2" + s
                               + "10 available, 5 strict, 2000 total, stale",
                           "  2 \u00D7 WDC WD40EFRX-68N" + s + "internal" + s + "-" + s + "sda+sdc" + s + "no I/O statistics",
                           "  Samsung SSD 970 EVO Plus 1TB" + s + "internal" + s + "NVMe" + s + "nvme0n1" + s + "I/O statistics",
                           "    /" + s + "internal" + s + "ext4" + s + "NVMe" + s + "nvme0n1p2" + s
                               + "123456789 available, 100 strict, 500107862016 total" + s + "boot",
                           "",
                           "Volumes without a drive",
                           "  share" + s + "network" + s + "SMB" + s + "-" + s + "-" + s + "space not read",
                           "",
                           "Recent eject failures",
                           "  none"}));
}

TEST(DiagnosticsReport, FailuresAndTheLastScan)
{
    const QList<Ejector::LogEntry> log{
        {QDateTime::fromMSecsSinceEpoch(1709640000000, QTimeZone::utc()), "Backup", VolumeKind::external, EjectFailure::busy()},
        {QDateTime::fromMSecsSinceEpoch(1709640061999, QTimeZone::utc()), "Installer", VolumeKind::diskImage,
         EjectFailure::notPermitted("dockerd")},
        {QDateTime(), "Broken date", VolumeKind::external, EjectFailure::exclusiveAccess()},
    };
    const auto report = [&](Clock::Duration duration, const QTimeZone& zone) {
        const Ejector::ScanSummary scan{duration, 412, 3, 1, true, {"swap /media/usb/swapfile []", "nfs-export /media/usb/share []"}};
        return lines(Diagnostics::report(environment(), {}, {}, log, scan, reportTime, zone));
    };
    const QString s = QStringLiteral(" \u00B7 ");
    const QStringList utc = report(1'499'600ns, QTimeZone::utc());
    EXPECT_EQ(utc[3], "Report time: 2024-03-05T13:07:09Z");
    EXPECT_EQ(utc.mid(8),
              (QStringList{"Recent eject failures",
                           "  2024-03-05T12:00:00Z" + s + "Backup" + s + "external" + s + "busy",
                           "  2024-03-05T12:01:01Z" + s + "Installer" + s + "diskImage" + s + "not permitted (dockerd)",
                           "  -" + s + "Broken date" + s + "external" + s + "exclusive access",
                           "",
                           "Last blocker scan",
                           "  1 ms" + s + "412 processes" + s + "3 holding" + s + "1 disk images" + s + "mapped-file pass yes",
                           "  held by swap /media/usb/swapfile []",
                           "  held by nfs-export /media/usb/share []",
                           ""}));

    const QStringList behind = report(1'500'000ns, QTimeZone(-(3 * 3600 + 30 * 60)));
    EXPECT_EQ(behind[3], "Report time: 2024-03-05T09:37:09-0330");
    EXPECT_EQ(behind[9], "  2024-03-05T08:30:00-0330" + s + "Backup" + s + "external" + s + "busy");
    EXPECT_EQ(behind[14], "  2 ms" + s + "412 processes" + s + "3 holding" + s + "1 disk images" + s + "mapped-file pass yes");
    EXPECT_TRUE(report(0ns, plusOne)[14].startsWith("  0 ms" + s));
    EXPECT_TRUE(report(2s + 499'999'999ns, plusOne)[14].startsWith("  2500 ms" + s));
}

TEST(DiagnosticsEnvironment, SystemFactsComeFromOsReleaseTheKernelAndDmi)
{
    const auto debian = Diagnostics::Environment::current({"style icon"}, TestEnvironment::dataPath("system/debian-vm"));
    EXPECT_EQ(debian.appVersion, "dev");
    EXPECT_EQ(debian.build, "?");
    EXPECT_EQ(debian.osVersion, "Debian GNU/Linux 12 (bookworm), kernel 6.1.0-18-amd64");
    EXPECT_EQ(debian.model, "QEMU Standard PC (Q35 + ICH9, 2009)");
    EXPECT_EQ(debian.settings, QStringList{"style icon"});

    const auto odd = Diagnostics::Environment::current({}, TestEnvironment::dataPath("system/odd-firmware"));
    EXPECT_EQ(odd.osVersion, "Acme \"Rolling\" Linux 7 \"Zebra\"");
    EXPECT_EQ(odd.model, "Acme Box \uFFFD 3 second line");

    QTemporaryDir empty;
    const auto bare = Diagnostics::Environment::current({}, empty.path());
    EXPECT_EQ(bare.osVersion, "Linux");
    EXPECT_EQ(bare.model, "unknown computer");
}
