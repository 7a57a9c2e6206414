#pragma once

#include <QString>
#include <QStringList>

namespace mallowby {

// Line output of the developer modes on standard output.
class Console {
public:
    static void printLine(const QString& line);
    // The fields joined by a tab.
    static void printFields(const QStringList& fields);
    static void flush();
};

} // namespace mallowby
