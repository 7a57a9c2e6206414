#include "InspectEjectFlow.h"

#include "Drives/DriveMonitor.h"
#include "Eject/Ejector.h"
#include "Eject/FlushWatch.h"
#include "Support/Clock.h"
#include "Support/Console.h"
#include "Volumes/VolumeStore.h"

#include <QPointer>

#include <charconv>

namespace mallowby {

namespace {

// The drive whose volumes include one mounted at `path`.
const Drive* driveAt(const VolumeStore& volumes, const DriveMonitor& drives, const QString& path)
{
    for (const Drive& drive : drives.drives()) {
        for (const QString& id : drive.volumeIDs) {
            const Volume* volume = volumes.volume(id);
            if (volume && volume->mountPath == path)
                return &drive;
        }
    }
    return nullptr;
}

// Prints the flush progress of one target from its first figure worth showing until the eject
// returns; disconnects when destroyed.
class FlushLines {
public:
    FlushLines(FlushWatch* flushes, const QString& targetID)
    {
        if (!flushes)
            return;
        m_connection = QObject::connect(flushes, &FlushWatch::flushesChanged, flushes, [this, flushes, targetID] {
            const FlushEstimate* estimate = flushes->estimate(targetID);
            if (!estimate || *estimate == m_printed || !(m_printing || estimate->showsProgress()))
                return;
            m_printing = true;
            m_printed = *estimate;
            Console::printLine(InspectEjectFlow::flushingLine(estimate->remainingBytes(), estimate->rate()));
            Console::flush();
        });
    }
    ~FlushLines() { QObject::disconnect(m_connection); }
    FlushLines(const FlushLines&) = delete;
    FlushLines& operator=(const FlushLines&) = delete;

private:
    QMetaObject::Connection m_connection;
    bool m_printing = false;
    FlushEstimate m_printed;
};

} // namespace

QString InspectEjectFlow::quoted(const QString& text)
{
    QString out;
    out.reserve(text.size() + 2);
    out += QLatin1Char('"');
    for (const QChar c : text) {
        switch (c.unicode()) {
        case '"': out += QLatin1String("\\\""); break;
        case '\\': out += QLatin1String("\\\\"); break;
        case '\n': out += QLatin1String("\\n"); break;
        case '\r': out += QLatin1String("\\r"); break;
        case '\t': out += QLatin1String("\\t"); break;
        default: out += c;
        }
    }
    out += QLatin1Char('"');
    return out;
}

QString InspectEjectFlow::flushingLine(quint64 bytesLeft, double rate)
{
    return QStringLiteral("flushing: %1 bytes left, %2 B/s").arg(bytesLeft).arg(qRound64(rate));
}

QString InspectEjectFlow::shortestDecimal(double value)
{
    char buffer[64];
    const auto result = std::to_chars(buffer, buffer + sizeof buffer, value);
    QString text = QString::fromLatin1(buffer, result.ptr - buffer);
    if (!text.contains(QLatin1Char('.')) && !text.contains(QLatin1Char('e')) && !text.contains(QLatin1Char('n')))
        text += QStringLiteral(".0");
    return text;
}

QString InspectEjectFlow::ejectedLine(bool ejected, const std::optional<EjectFailure>& failure)
{
    return QStringLiteral("ejected: %1 %2")
        .arg(QLatin1String(ejected ? "true" : "false"), failure ? failure->debugDescription() : QStringLiteral("-"));
}

QString InspectEjectFlow::scanLine(qint64 processCount, std::chrono::nanoseconds duration)
{
    const double seconds = std::chrono::duration<double>(duration).count();
    return QStringLiteral("scan: %1 processes, %2 seconds").arg(processCount).arg(shortestDecimal(seconds));
}

QString InspectEjectFlow::blockerLine(const Blocker& blocker)
{
    QStringList uses;
    for (const Blocker::Use& use : blocker.uses)
        uses.append(quoted(Blocker::reasonText(use.reason) + QLatin1Char(' ') + use.path));
    return QStringLiteral("%1 %2 %3 %4 [%5]")
        .arg(blocker.pid)
        .arg(blocker.processName, blocker.app ? blocker.app->name : QStringLiteral("-"),
             QLatin1String(blocker.isAppProcess ? "true" : "false"), uses.join(QStringLiteral(", ")));
}

QCoro::Task<> InspectEjectFlow::run(VolumeStore& volumeStore, DriveMonitor& driveMonitor, Ejector& theEjector, QString path,
                                    Action action, std::function<void(const QString&)> focus, Clock& clock,
                                    FlushWatch* flushWatch)
{
    QPointer<VolumeStore> volumes(&volumeStore);
    QPointer<DriveMonitor> drives(&driveMonitor);
    QPointer<Ejector> ejector(&theEjector);
    QPointer<FlushWatch> flushes(flushWatch);

    // Wait, without limit, for the path to be mounted on a drive.
    const Drive* drive = nullptr;
    while (volumes && drives && !(drive = driveAt(*volumes, *drives, path)))
        co_await clock.sleep(std::chrono::milliseconds(50));
    if (!volumes || !drives || !ejector)
        co_return;
    const EjectTarget target = EjectTarget::fromDrive(*drive);

    if (action == Action::inspect) {
        focus(target.id);
        co_await ejector->inspect(target);
    } else {
        const FlushLines progress(flushes, target.id);
        const bool ejected = co_await ejector->eject(target, false);
        if (!ejector)
            co_return;
        const Ejector::Status* status = ejector->status(target.id);
        Console::printLine(ejectedLine(ejected, status ? status->failure : std::nullopt));
        if (!ejected)
            focus(target.id);
    }
    if (!ejector)
        co_return;

    const Ejector::Status* status = ejector->status(target.id);
    const std::optional<BlockerReport> report = status ? status->report : std::nullopt;
    Console::printLine(scanLine(report ? report->processCount : 0, report ? report->duration : std::chrono::nanoseconds(0)));
    if (report) {
        for (const Blocker& blocker : report->blockers)
            Console::printLine(blockerLine(blocker));
        for (const ImageBlocker& image : report->images)
            Console::printLine(QStringLiteral("image %1 %2").arg(image.bsdName, image.imagePath));
        for (const SystemHolder& holder : report->holders)
            Console::printLine(QStringLiteral("holder ") + holder.summary());
    }
    Console::flush();
}

} // namespace mallowby
