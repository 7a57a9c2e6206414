#include "Platform/Linux/DesktopEntry.h"

#include <QFile>
#include <QHash>

namespace mallowby {

std::optional<DesktopEntry> DesktopEntry::load(const QString& path, const QString& localeName)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return std::nullopt;
    return parse(file.read(256 * 1024), path, localeName);
}

std::optional<DesktopEntry> DesktopEntry::parse(const QByteArray& text, const QString& path, const QString& localeName)
{
    QHash<QString, QString> keys;
    bool inEntry = false;
    bool sawEntry = false;
    for (const QByteArray& raw : text.split('\n')) {
        const QString line = QString::fromUtf8(raw).trimmed();
        if (line.isEmpty() || line.startsWith(QLatin1Char('#')))
            continue;
        if (line.startsWith(QLatin1Char('['))) {
            inEntry = line == QLatin1String("[Desktop Entry]");
            sawEntry = sawEntry || inEntry;
            continue;
        }
        const qsizetype equals = line.indexOf(QLatin1Char('='));
        if (!inEntry || equals < 1)
            continue;
        const QString key = line.left(equals).trimmed();
        if (!keys.contains(key))
            keys.insert(key, line.mid(equals + 1).trimmed());
    }
    if (!sawEntry)
        return std::nullopt;

    DesktopEntry entry;
    entry.path = path;
    const QString language = localeName.section(QLatin1Char('_'), 0, 0);
    for (const QString& key : {QStringLiteral("Name[%1]").arg(localeName), QStringLiteral("Name[%1]").arg(language),
                               QStringLiteral("Name")}) {
        if (const QString value = keys.value(key); !value.isEmpty()) {
            entry.name = value;
            break;
        }
    }
    if (entry.name.isEmpty())
        return std::nullopt;
    if (const QString icon = keys.value(QStringLiteral("Icon")); !icon.isEmpty())
        entry.icon = icon;
    entry.program = programOfExec(keys.value(QStringLiteral("Exec")));
    if (const QString tryExec = keys.value(QStringLiteral("TryExec")); !tryExec.isEmpty())
        entry.tryExec = tryExec;
    entry.noDisplay = keys.value(QStringLiteral("NoDisplay")).compare(QLatin1String("true"), Qt::CaseInsensitive) == 0;
    return entry;
}

std::optional<QString> DesktopEntry::programOfExec(const QString& exec)
{
    // Split into words, honouring double quotes and backslash escapes inside them.
    QStringList words;
    QString word;
    bool quoted = false, inWord = false;
    for (qsizetype i = 0; i < exec.size(); ++i) {
        const QChar c = exec[i];
        if (quoted) {
            if (c == QLatin1Char('\\') && i + 1 < exec.size()) {
                word += exec[++i];
            } else if (c == QLatin1Char('"')) {
                quoted = false;
            } else {
                word += c;
            }
        } else if (c == QLatin1Char('"')) {
            quoted = inWord = true;
        } else if (c.isSpace()) {
            if (inWord)
                words.append(std::exchange(word, {}));
            inWord = false;
        } else {
            word += c;
            inWord = true;
        }
    }
    if (inWord)
        words.append(word);

    qsizetype first = 0;
    if (!words.isEmpty() && (words[0] == QLatin1String("env") || words[0] == QLatin1String("/usr/bin/env"))) {
        first = 1;
        while (first < words.size() && (words[first].contains(QLatin1Char('=')) || words[first].startsWith(QLatin1Char('-'))))
            ++first;
    }
    if (first >= words.size() || words[first].isEmpty())
        return std::nullopt;
    return words[first];
}

} // namespace mallowby
