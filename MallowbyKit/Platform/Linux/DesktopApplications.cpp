#include "Platform/Linux/DesktopApplications.h"

#include "Platform/Linux/UdevProperties.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QLocale>

namespace mallowby {

DesktopApplications::DesktopApplications(QString procRoot, QStringList dataDirs, QString localeName)
    : m_procRoot(std::move(procRoot)), m_processes(m_procRoot),
      m_entries(std::make_shared<DesktopEntryIndex>(std::move(dataDirs),
                                                    localeName.isEmpty() ? QLocale::system().name() : std::move(localeName)))
{
}

QStringList DesktopApplications::xdgDataDirs()
{
    QString home = qEnvironmentVariable("XDG_DATA_HOME");
    if (home.isEmpty())
        home = QDir::homePath() + QStringLiteral("/.local/share");
    QString system = qEnvironmentVariable("XDG_DATA_DIRS");
    if (system.isEmpty())
        system = QStringLiteral("/usr/local/share:/usr/share");
    return QStringList{home} + system.split(QLatin1Char(':'), Qt::SkipEmptyParts);
}

std::optional<QString> DesktopApplications::unitApplicationId(const QString& unit)
{
    if (!unit.startsWith(QLatin1String("app-")))
        return std::nullopt;
    QString rest = unit.mid(4);
    if (rest.endsWith(QLatin1String(".service"))) {
        rest.chop(8);
        rest = rest.section(QLatin1Char('@'), 0, 0);
    } else if (rest.endsWith(QLatin1String(".scope"))) {
        rest.chop(6);
        const qsizetype dash = rest.lastIndexOf(QLatin1Char('-'));
        if (dash < 1)
            return std::nullopt;
        rest.truncate(dash);
    } else {
        return std::nullopt;
    }
    rest = UdevProperties::decode(rest);  // systemd escapes bytes as \xNN too
    if (rest.isEmpty())
        return std::nullopt;
    return rest;
}

std::optional<QString> DesktopApplications::unitOf(qint32 pid) const
{
    QFile file(QStringLiteral("%1/%2/cgroup").arg(m_procRoot).arg(pid));
    if (!file.open(QIODevice::ReadOnly))
        return std::nullopt;
    // "0::/user.slice/…/app.slice/app-gnome-org.gnome.Terminal-1234.scope" (v2), or the
    // "name=systemd" hierarchy (v1): the innermost application unit counts.
    const QList<QByteArray> lines = file.read(64 * 1024).split('\n');
    for (const QByteArray& line : lines) {
        const QList<QByteArray> parts = line.split(':');
        if (parts.size() < 3 || !(parts[1].isEmpty() || parts[1] == "name=systemd"))
            continue;
        const QStringList components = QString::fromUtf8(parts.mid(2).join(':')).split(QLatin1Char('/'), Qt::SkipEmptyParts);
        for (auto it = components.crbegin(); it != components.crend(); ++it)
            if (unitApplicationId(*it))
                return *it;
    }
    return std::nullopt;
}

std::optional<DesktopApplications::Identity> DesktopApplications::identityOf(qint32 pid) const
{
    // A Flatpak instance names its application in /.flatpak-info of its own root.
    QFile info(QStringLiteral("%1/%2/root/.flatpak-info").arg(m_procRoot).arg(pid));
    if (info.open(QIODevice::ReadOnly)) {
        bool inApplication = false;
        for (const QByteArray& raw : info.read(64 * 1024).split('\n')) {
            const QByteArray line = raw.trimmed();
            if (line.startsWith('['))
                inApplication = line == "[Application]";
            else if (inApplication && line.startsWith("name=")) {
                const QString id = QString::fromUtf8(line.mid(5)).trimmed();
                if (!id.isEmpty())
                    return Identity{QStringLiteral("flatpak:") + id, {id}};
            }
        }
    }
    const auto unit = unitOf(pid);
    if (!unit)
        return std::nullopt;
    const QString id = *unitApplicationId(*unit);
    QStringList candidates{id};
    // "app-LAUNCHER-APPID…": the launcher prefix is optional and cannot be told apart by shape.
    if (const qsizetype dash = id.indexOf(QLatin1Char('-')); dash > 0)
        candidates.append(id.mid(dash + 1));
    return Identity{*unit, candidates};
}

RunningApplication DesktopApplications::record(qint32 pid, const DesktopEntry& entry, const QString& appId) const
{
    return RunningApplication{pid, entry.name, appId, entry.path, entry.icon, !entry.noDisplay};
}

std::optional<RunningApplication> DesktopApplications::forPid(qint32 pid) const
{
    const auto parent = m_processes.parent(pid);

    if (const auto identity = identityOf(pid)) {
        for (const QString& id : identity->candidateIds) {
            const auto entry = m_entries->byId(id);
            if (!entry)
                continue;
            const auto parentIdentity = parent ? identityOf(*parent) : std::nullopt;
            if (!parentIdentity || parentIdentity->group != identity->group)
                return record(pid, *entry, id);
            break;  // a child inside the application
        }
    }

    // Desktops that start applications without units: the program of a desktop entry.
    const auto executable = m_processes.executablePath(pid);
    if (!executable)
        return std::nullopt;
    const auto entry = m_entries->byProgram(*executable);
    if (!entry)
        return std::nullopt;
    const auto parentExecutable = parent ? m_processes.executablePath(*parent) : std::nullopt;
    if (parentExecutable == executable)
        return std::nullopt;
    return record(pid, *entry, QFileInfo(entry->path).completeBaseName());
}

} // namespace mallowby
