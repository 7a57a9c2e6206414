#include "Platform/Linux/DesktopApplications.h"

#include "Platform/Linux/UdevProperties.h"

#include <QDir>
#include <QDirIterator>
#include <QFile>
#include <QFileInfo>
#include <QLocale>
#include <QStandardPaths>

namespace mallowby {

namespace {

// Only for the programs of desktop entries, while the index is built: the path of a running
// process's executable is compared as the kernel wrote it, never looked up, since it may lie on
// a file system that no longer answers.
QString canonical(const QString& path)
{
    const QString resolved = QFileInfo(path).canonicalFilePath();
    return resolved.isEmpty() ? path : resolved;
}

} // namespace

DesktopApplications::DesktopApplications(QString procRoot, QStringList dataDirs, QString localeName)
    : m_procRoot(std::move(procRoot)), m_dataDirs(std::move(dataDirs)),
      m_localeName(localeName.isEmpty() ? QLocale::system().name() : std::move(localeName)), m_processes(m_procRoot)
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

std::optional<DesktopEntry> DesktopApplications::entryForId(const QString& appId) const
{
    if (appId.contains(QLatin1Char('/')))
        return std::nullopt;
    for (const QString& dir : m_dataDirs) {
        const QString path = dir + QStringLiteral("/applications/") + appId + QStringLiteral(".desktop");
        if (auto entry = DesktopEntry::load(path, m_localeName))
            return entry;
    }
    return std::nullopt;
}

std::optional<DesktopEntry> DesktopApplications::entryForProgram(const QString& executable) const
{
    std::lock_guard guard(m_lock);
    if (!m_indexed) {
        m_indexed = true;
        for (const QString& dir : m_dataDirs) {
            QDirIterator files(dir + QStringLiteral("/applications"), {QStringLiteral("*.desktop")}, QDir::Files,
                               QDirIterator::Subdirectories);
            while (files.hasNext()) {
                const QString path = files.next();
                const auto entry = DesktopEntry::load(path, m_localeName);
                if (!entry)
                    continue;
                for (const auto& program : {entry->program, entry->tryExec}) {
                    if (!program)
                        continue;
                    const QString resolved = program->startsWith(QLatin1Char('/'))
                                                 ? *program
                                                 : QStandardPaths::findExecutable(*program);
                    if (resolved.isEmpty())
                        continue;
                    const QString key = canonical(resolved);
                    if (!m_byProgram.contains(key))
                        m_byProgram.insert(key, path);
                }
            }
        }
    }
    // The kernel's link text is already free of symbolic links.
    const QString path = m_byProgram.value(executable);
    if (path.isEmpty())
        return std::nullopt;
    return DesktopEntry::load(path, m_localeName);
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
            const auto entry = entryForId(id);
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
    const auto entry = entryForProgram(*executable);
    if (!entry)
        return std::nullopt;
    const auto parentExecutable = parent ? m_processes.executablePath(*parent) : std::nullopt;
    if (parentExecutable == executable)
        return std::nullopt;
    return record(pid, *entry, QFileInfo(entry->path).completeBaseName());
}

} // namespace mallowby
