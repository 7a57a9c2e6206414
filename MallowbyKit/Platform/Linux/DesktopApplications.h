#pragma once

#include "Platform/Linux/DesktopEntry.h"
#include "Platform/Linux/ProcfsProcessTable.h"
#include "Platform/RunningApplications.h"

#include <QHash>

#include <mutex>

namespace mallowby {

// Running-application records from the desktop's application identity: a process in an
// application unit of the systemd desktop convention (app-[launcher-]APPID….service/.scope) or
// a Flatpak instance, with a desktop entry APPID.desktop; where the desktop starts apps without
// such units, a process running the program of a desktop entry's Exec or TryExec. The record
// belongs to the application's first process (whose parent is outside the application).
class DesktopApplications final : public RunningApplications {
public:
    explicit DesktopApplications(QString procRoot = QStringLiteral("/proc"), QStringList dataDirs = xdgDataDirs(),
                                 QString localeName = QString());

    std::optional<RunningApplication> forPid(qint32 pid) const override;

    // The application id of an application unit name, with its launcher prefix still on when
    // present ("app-gnome-org.gnome.Terminal-1234.scope" → "gnome-org.gnome.Terminal"); none for
    // other units.
    static std::optional<QString> unitApplicationId(const QString& unit);
    // The application unit a process runs in, from its cgroup file.
    std::optional<QString> unitOf(qint32 pid) const;

    static QStringList xdgDataDirs();

private:
    struct Identity {
        QString group;  // the unit, or "flatpak:APPID"
        QStringList candidateIds;
    };

    std::optional<Identity> identityOf(qint32 pid) const;
    std::optional<DesktopEntry> entryForId(const QString& appId) const;
    std::optional<DesktopEntry> entryForProgram(const QString& executable) const;
    RunningApplication record(qint32 pid, const DesktopEntry& entry, const QString& appId) const;

    QString m_procRoot;
    QStringList m_dataDirs;
    QString m_localeName;
    ProcfsProcessTable m_processes;

    mutable std::mutex m_lock;
    mutable bool m_indexed = false;
    mutable QHash<QString, QString> m_byProgram;  // canonical program path → desktop file
};

} // namespace mallowby
