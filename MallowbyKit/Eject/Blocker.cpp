#include "Eject/Blocker.h"

namespace mallowby {

QString Blocker::reasonText(Reason reason)
{
    switch (reason) {
    case Reason::openFile: return QStringLiteral("open file");
    case Reason::workingDirectory: return QStringLiteral("working directory");
    case Reason::mappedFile: return QStringLiteral("mapped file");
    case Reason::rootDirectory: return QStringLiteral("root directory");
    }
    return {};
}

} // namespace mallowby
