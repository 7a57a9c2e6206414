#include "Support/Console.h"

#include "Support/FilePath.h"

#include <cstdio>

namespace mallowby {

void Console::printLine(const QString& line)
{
    const QByteArray bytes = FilePath::encode(line) + '\n';
    std::fwrite(bytes.constData(), 1, size_t(bytes.size()), stdout);
}

void Console::printFields(const QStringList& fields)
{
    printLine(fields.join(QLatin1Char('\t')));
}

void Console::flush()
{
    std::fflush(stdout);
}

} // namespace mallowby
