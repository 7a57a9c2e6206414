#pragma once

#include <QString>

#include <optional>

namespace mallowby {

// Starting the program at login, as an XDG autostart entry: enabled while the entry exists and
// is not hidden.
class LoginItem {
public:
    enum class Status { notRegistered, enabled };

    // $XDG_CONFIG_HOME/autostart/mallowby.desktop, starting the installed program.
    LoginItem();
    LoginItem(QString entryPath, QString executable);

    const QString& entryPath() const { return m_entryPath; }

    Status status() const;
    // Writes the entry; the error text when it could not be written.
    std::optional<QString> registerItem() const;
    // Removes the entry; the error text when it could not be removed.
    std::optional<QString> unregisterItem() const;

    // What the installed desktop entry starts (its Exec), looked up in the data folders in order as a
    // launcher does; where none is installed, the place the build installs the program to. Never
    // the running executable, which may be a build tree.
    static QString installedProgram(const QStringList& dataDirectories);

    // The entry's text for an executable.
    static QString desktopEntry(const QString& executable);
    // The executable as one Exec argument: quoted and escaped when it needs it.
    static QString execArgument(const QString& executable);

private:
    QString m_entryPath;
    QString m_executable;
};

} // namespace mallowby
