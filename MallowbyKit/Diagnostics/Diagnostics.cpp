#include "Diagnostics/Diagnostics.h"

#include <QCoreApplication>
#include <QFile>
#include <QSet>

#include <cmath>

#ifndef MALLOWBY_BUILD_NUMBER
#define MALLOWBY_BUILD_NUMBER ""
#endif

namespace mallowby {

namespace {

const QString separator = QStringLiteral(" \u00B7 ");

// A small system file, up to its first NUL; none when it cannot be read.
std::optional<QByteArray> readSmallFile(const QString& path)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return std::nullopt;
    QByteArray bytes = file.read(64 * 1024);
    const qsizetype nul = bytes.indexOf('\0');
    if (nul >= 0)
        bytes.truncate(nul);
    return bytes;
}

// One line of text: invalid UTF-8 repaired, control characters and runs of blanks made one space.
QString oneLine(const QByteArray& bytes)
{
    QString text = QString::fromUtf8(bytes);
    for (QChar& c : text)
        if (c.category() == QChar::Other_Control)
            c = QLatin1Char(' ');
    return text.simplified();
}

// The value of an os-release assignment: shell-quoted with single or double quotes, or bare.
QString osReleaseValue(QString value)
{
    value = value.trimmed();
    if (value.size() >= 2 && value.front() == value.back() && (value.front() == u'"' || value.front() == u'\'')) {
        const QChar quote = value.front();
        value = value.mid(1, value.size() - 2);
        if (quote == u'"') {
            QString unescaped;
            for (qsizetype i = 0; i < value.size(); ++i) {
                if (value[i] == u'\\' && i + 1 < value.size() && QStringLiteral("\"\\$`").contains(value[i + 1]))
                    ++i;
                unescaped.append(value[i]);
            }
            value = unescaped;
        }
    }
    return value;
}

QString operatingSystem(const QString& root)
{
    auto text = readSmallFile(root + QStringLiteral("/etc/os-release"));
    if (!text)
        text = readSmallFile(root + QStringLiteral("/usr/lib/os-release"));
    QHash<QString, QString> fields;
    if (text) {
        for (const QByteArray& line : text->split('\n')) {
            const qsizetype equals = line.indexOf('=');
            if (equals <= 0 || line.trimmed().startsWith('#'))
                continue;
            fields.insert(QString::fromUtf8(line.left(equals).trimmed()),
                          oneLine(osReleaseValue(QString::fromUtf8(line.mid(equals + 1))).toUtf8()));
        }
    }
    QString name = fields.value(QStringLiteral("PRETTY_NAME"));
    if (name.isEmpty())
        name = QStringList{fields.value(QStringLiteral("NAME"), QStringLiteral("Linux")), fields.value(QStringLiteral("VERSION"))}
                   .join(QLatin1Char(' '))
                   .trimmed();
    if (name.isEmpty())
        name = QStringLiteral("Linux");
    const QString kernel = oneLine(readSmallFile(root + QStringLiteral("/proc/sys/kernel/osrelease")).value_or(QByteArray()));
    return kernel.isEmpty() ? name : name + QStringLiteral(", kernel ") + kernel;
}

QString hardwareModel(const QString& root)
{
    const QString dmi = root + QStringLiteral("/sys/class/dmi/id/");
    const QString vendor = oneLine(readSmallFile(dmi + QStringLiteral("sys_vendor")).value_or(QByteArray()));
    const QString product = oneLine(readSmallFile(dmi + QStringLiteral("product_name")).value_or(QByteArray()));
    if (vendor.isEmpty() && product.isEmpty())
        return QStringLiteral("unknown computer");
    if (vendor.isEmpty() || product.startsWith(vendor))
        return product;
    if (product.isEmpty())
        return vendor;
    return vendor + QLatin1Char(' ') + product;
}

QString optionalText(const std::optional<QString>& text)
{
    return text ? *text : QStringLiteral("-");
}

} // namespace

Diagnostics::Environment Diagnostics::Environment::current(const QStringList& settings, const QString& root)
{
    Environment environment;
    environment.appVersion = QCoreApplication::applicationVersion();
    if (environment.appVersion.isEmpty())
        environment.appVersion = QStringLiteral("dev");
    environment.build = QStringLiteral(MALLOWBY_BUILD_NUMBER);
    if (environment.build.isEmpty())
        environment.build = QStringLiteral("?");
    environment.osVersion = operatingSystem(root).remove(QStringLiteral("Version "));
    environment.model = hardwareModel(root);
    environment.settings = settings;
    return environment;
}

QString Diagnostics::timestamp(const QDateTime& time, const QTimeZone& zone)
{
    if (!time.isValid())
        return QStringLiteral("-");
    const QDateTime local = zone.isValid() ? time.toTimeZone(zone) : time.toLocalTime();
    const QString text = local.toString(QStringLiteral("yyyy-MM-dd'T'HH:mm:ss"));
    const int offset = local.offsetFromUtc();
    if (offset == 0)
        return text + QLatin1Char('Z');
    const int minutes = std::abs(offset) / 60;
    return text + (offset < 0 ? QLatin1Char('-') : QLatin1Char('+'))
           + QStringLiteral("%1%2").arg(minutes / 60, 2, 10, QLatin1Char('0')).arg(minutes % 60, 2, 10, QLatin1Char('0'));
}

QString Diagnostics::volumeLine(const Volume& volume)
{
    QStringList pieces{volume.name, volume.kind.rawValue(), volume.format, optionalText(volume.deviceProtocol),
                       optionalText(volume.bsdName)};
    if (const auto& space = volume.space) {
        QString figures = QStringLiteral("%1 available, %2 strict, %3 total")
                              .arg(space->available)
                              .arg(space->availableStrict)
                              .arg(space->total);
        if (space->isStale)
            figures += QStringLiteral(", stale");
        pieces << figures;
    } else {
        pieces << QStringLiteral("space not read");
    }
    if (volume.isBoot)
        pieces << QStringLiteral("boot");
    return pieces.join(separator);
}

QString Diagnostics::report(const Environment& environment, const QList<Volume>& volumes, const QList<Drive>& drives,
                            const QList<Ejector::LogEntry>& log, const std::optional<Ejector::ScanSummary>& lastScan,
                            const QDateTime& now, const QTimeZone& zone)
{
    QStringList lines{
        QStringLiteral("mallowby %1 (%2)").arg(environment.appVersion, environment.build),
        environment.osVersion,
        environment.model,
        QStringLiteral("Report time: ") + timestamp(now, zone),
    };
    if (!environment.settings.isEmpty())
        lines << QStringLiteral("Settings: ") + environment.settings.join(QStringLiteral(", "));

    lines << QString() << QStringLiteral("Drives");
    QSet<QString> onDrives;
    if (drives.isEmpty())
        lines << QStringLiteral("  none");
    for (const Drive& drive : drives) {
        QStringList members;
        for (const BlockDevice& member : drive.members)
            members << member.bsdName;
        lines << QStringLiteral("  ")
                     + QStringList{drive.name, drive.kind.rawValue(), optionalText(drive.deviceProtocol),
                                   members.join(QLatin1Char('+')),
                                   drive.readRate ? QStringLiteral("I/O statistics") : QStringLiteral("no I/O statistics")}
                           .join(separator);
        for (const QString& id : drive.volumeIDs) {
            onDrives.insert(id);
            const auto volume = std::find_if(volumes.begin(), volumes.end(), [&](const Volume& v) { return v.id == id; });
            if (volume != volumes.end())
                lines << QStringLiteral("    ") + volumeLine(*volume);
        }
    }

    QStringList loose;
    for (const Volume& volume : volumes)
        if (!onDrives.contains(volume.id))
            loose << QStringLiteral("  ") + volumeLine(volume);
    if (!loose.isEmpty())
        lines << QString() << QStringLiteral("Volumes without a drive") << loose;

    lines << QString() << QStringLiteral("Recent eject failures");
    if (log.isEmpty())
        lines << QStringLiteral("  none");
    for (const Ejector::LogEntry& entry : log)
        lines << QStringLiteral("  ")
                     + QStringList{timestamp(entry.date, zone), entry.targetName, entry.kind.rawValue(), entry.failure.summary()}
                           .join(separator);

    lines << QString() << QStringLiteral("Last blocker scan");
    if (!lastScan) {
        lines << QStringLiteral("  none");
    } else {
        const qint64 milliseconds = std::llround(double(lastScan->duration.count()) / 1e6);
        lines << QStringLiteral("  %1 ms").arg(milliseconds) + separator
                     + QStringLiteral("%1 processes").arg(lastScan->processCount) + separator
                     + QStringLiteral("%1 holding").arg(lastScan->blockerCount) + separator
                     + QStringLiteral("%1 disk images").arg(lastScan->imageCount) + separator
                     + QStringLiteral("mapped-file pass ")
                     + (lastScan->scannedMappedFiles ? QStringLiteral("yes") : QStringLiteral("no"));
        for (const QString& holder : lastScan->holders)
            lines << QStringLiteral("  held by ") + holder;
    }
    return lines.join(QLatin1Char('\n')) + QLatin1Char('\n');
}

} // namespace mallowby
