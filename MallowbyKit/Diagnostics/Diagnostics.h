#pragma once

#include "Drives/Drive.h"
#include "Eject/Ejector.h"
#include "Volumes/Volume.h"

#include <QDateTime>
#include <QList>
#include <QString>
#include <QStringList>
#include <QTimeZone>

#include <optional>

namespace mallowby {

// The plain-text report of the program's state that a user pastes into an issue. A pure function
// of its inputs, the clock and the time zone; it never touches the disks or the network.
namespace Diagnostics {

struct Environment {
    QString appVersion;  // the application's version, "dev" when it has none
    QString build;       // the build number, "?" when there is none
    QString osVersion;   // "Debian GNU/Linux 12 (bookworm), kernel 6.1.0-18-amd64"
    QString model;       // "LENOVO 20HRCTO1WW", or "unknown computer"
    QStringList settings;

    bool operator==(const Environment&) const = default;

    // The facts of the running system (os-release, the kernel release, DMI) with the caller's
    // settings lines; `root` stands in for "/" so tests can read a fixture tree.
    static Environment current(const QStringList& settings, const QString& root = QStringLiteral("/"));
};

// The report lines joined by line breaks, ending with one.
QString report(const Environment& environment, const QList<Volume>& volumes, const QList<Drive>& drives,
               const QList<Ejector::LogEntry>& log, const std::optional<Ejector::ScanSummary>& lastScan,
               const QDateTime& now, const QTimeZone& zone = QTimeZone::systemTimeZone());

// "2024-03-05T14:07:09+0100" in the zone, "Z" for a zero offset; "-" for an invalid time.
QString timestamp(const QDateTime& time, const QTimeZone& zone = QTimeZone::systemTimeZone());

// A volume's line: name · kind · format · protocol · device · figures [· boot].
QString volumeLine(const Volume& volume);

} // namespace Diagnostics

} // namespace mallowby
