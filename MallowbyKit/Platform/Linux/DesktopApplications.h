#pragma once

#include "Platform/Linux/DesktopEntry.h"
#include "Platform/Linux/DesktopEntryIndex.h"
#include "Platform/Linux/ProcfsProcessTable.h"
#include "Platform/RunningApplications.h"

#include <memory>

namespace mallowby {

// Running-application records from the desktop's application identity: a process in an
// application unit of the systemd desktop convention (app-[launcher-]APPID….service/.scope) or
// a Flatpak instance, with a desktop entry APPID.desktop; where the desktop starts apps without
// such units, a process running the program of a desktop entry's Exec or TryExec. The record
// belongs to the application's first process (whose parent is outside the application). The
// entries come from an index read in the background from construction on.
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
    RunningApplication record(qint32 pid, const DesktopEntry& entry, const QString& appId) const;

    QString m_procRoot;
    ProcfsProcessTable m_processes;
    std::shared_ptr<const DesktopEntryIndex> m_entries;
};

} // namespace mallowby
