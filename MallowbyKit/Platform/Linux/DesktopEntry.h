#pragma once

#include <QString>
#include <QStringList>

#include <optional>

namespace mallowby {

// The [Desktop Entry] group of a .desktop file: what identifies an application to the user.
struct DesktopEntry {
    QString path;
    QString name;  // localized
    std::optional<QString> icon;
    std::optional<QString> program;  // Exec's program, as written
    std::optional<QString> tryExec;
    bool noDisplay = false;

    bool operator==(const DesktopEntry&) const = default;

    // None when the file cannot be read, has no [Desktop Entry] group or no Name.
    static std::optional<DesktopEntry> load(const QString& path, const QString& localeName);
    static std::optional<DesktopEntry> parse(const QByteArray& text, const QString& path, const QString& localeName);

    // The program of an Exec line: the first word, quotes removed, "env VAR=…" skipped.
    static std::optional<QString> programOfExec(const QString& exec);
};

} // namespace mallowby
