#include "LoginItem.h"

#include "Platform/Linux/DesktopEntry.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QSaveFile>
#include <QSettings>
#include <QStandardPaths>

namespace mallowby {

LoginItem::LoginItem()
    : LoginItem(QStandardPaths::writableLocation(QStandardPaths::GenericConfigLocation)
                    + QStringLiteral("/autostart/mallowby.desktop"),
                installedProgram(QStandardPaths::standardLocations(QStandardPaths::GenericDataLocation)))
{
}

QString LoginItem::installedProgram(const QStringList& dataDirectories)
{
    for (const QString& directory : dataDirectories) {
        const QString path = directory + QStringLiteral("/applications/" MALLOWBY_APP_ID ".desktop");
        if (const auto entry = DesktopEntry::load(path, QString()); entry && entry->program && !entry->program->isEmpty())
            return *entry->program;
    }
    return QStringLiteral(MALLOWBY_INSTALLED_PROGRAM);
}

LoginItem::LoginItem(QString entryPath, QString executable)
    : m_entryPath(std::move(entryPath)), m_executable(std::move(executable))
{
}

LoginItem::Status LoginItem::status() const
{
    QFile file(m_entryPath);
    if (!file.open(QIODevice::ReadOnly))
        return Status::notRegistered;
    // Hidden=true in the main group turns an entry off (how desktops disable autostart entries).
    bool inMainGroup = false;
    while (!file.atEnd()) {
        const QString line = QString::fromUtf8(file.readLine()).trimmed();
        if (line.startsWith(QLatin1Char('[')))
            inMainGroup = line == QStringLiteral("[Desktop Entry]");
        else if (inMainGroup && line.startsWith(QStringLiteral("Hidden"))) {
            const qsizetype equals = line.indexOf(QLatin1Char('='));
            if (equals > 0 && line.left(equals).trimmed() == QStringLiteral("Hidden")
                && line.mid(equals + 1).trimmed() == QStringLiteral("true"))
                return Status::notRegistered;
        }
    }
    return Status::enabled;
}

std::optional<QString> LoginItem::registerItem() const
{
    if (!QDir().mkpath(QFileInfo(m_entryPath).absolutePath()))
        return QStringLiteral("cannot create %1").arg(QFileInfo(m_entryPath).absolutePath());
    QSaveFile file(m_entryPath);
    if (!file.open(QIODevice::WriteOnly))
        return file.errorString();
    file.write(desktopEntry(m_executable).toUtf8());
    if (!file.commit())
        return file.errorString();
    return std::nullopt;
}

std::optional<QString> LoginItem::unregisterItem() const
{
    QFile file(m_entryPath);
    if (file.exists() && !file.remove())
        return file.errorString();
    return std::nullopt;
}

QString LoginItem::execArgument(const QString& executable)
{
    // Quoting rules of the desktop entry Exec key; the string-value escape of the backslash
    // applies on top of them.
    static const QString reserved = QStringLiteral(" \t\n\"'\\><~|&;$*?#()`=%");
    const bool needsQuotes = std::any_of(executable.cbegin(), executable.cend(),
                                         [](QChar c) { return reserved.contains(c); });
    QString argument = executable;
    argument.replace(QLatin1Char('%'), QStringLiteral("%%"));
    if (!needsQuotes)
        return argument;
    QString quoted;
    for (QChar c : std::as_const(argument)) {
        if (c == QLatin1Char('"') || c == QLatin1Char('`') || c == QLatin1Char('$') || c == QLatin1Char('\\'))
            quoted += QLatin1Char('\\');
        quoted += c;
    }
    quoted = QLatin1Char('"') + quoted + QLatin1Char('"');
    quoted.replace(QLatin1Char('\\'), QStringLiteral("\\\\"));
    return quoted;
}

QString LoginItem::desktopEntry(const QString& executable)
{
    QString safe = execArgument(executable);
    // A line break cannot be part of a value.
    safe.replace(QLatin1Char('\n'), QStringLiteral("\\n"));
    return QStringLiteral("[Desktop Entry]\n"
                          "Type=Application\n"
                          "Name=mallowby\n"
                          "Comment=Drives, free space and activity in the tray\n"
                          "Exec=%1\n"
                          "Icon=" MALLOWBY_APP_ID "\n"
                          "Terminal=false\n"
                          "X-GNOME-Autostart-enabled=true\n")
        .arg(safe);
}

} // namespace mallowby
