#pragma once

#include <QString>

#include <optional>

namespace mallowby {

// Starting the program at login, as an XDG autostart entry: enabled while the entry exists and
// is not hidden.
class LoginItem {
public:
    enum class Status { notRegistered, enabled };

    // $XDG_CONFIG_HOME/autostart/mallowby.desktop, starting the running executable.
    LoginItem();
    LoginItem(QString entryPath, QString executable);

    const QString& entryPath() const { return m_entryPath; }

    Status status() const;
    // Writes the entry; the error text when it could not be written.
    std::optional<QString> registerItem() const;
    // Removes the entry; the error text when it could not be removed.
    std::optional<QString> unregisterItem() const;

    // The entry's text for an executable.
    static QString desktopEntry(const QString& executable);
    // The executable as one Exec argument: quoted and escaped when it needs it.
    static QString execArgument(const QString& executable);

private:
    QString m_entryPath;
    QString m_executable;
};

} // namespace mallowby
