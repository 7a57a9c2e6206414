#pragma once

// How test failures print Qt and model values.

#include "Volumes/Space.h"

#include <QString>
#include <QStringList>

#include <ostream>

inline void PrintTo(const QString& text, std::ostream* os)
{
    *os << '"' << text.toStdString() << '"';
}

inline void PrintTo(const QStringList& list, std::ostream* os)
{
    *os << '[' << list.join(QStringLiteral(", ")).toStdString() << ']';
}

namespace mallowby {

inline void PrintTo(const Space& space, std::ostream* os)
{
    *os << "Space{" << space.total << ", " << space.available << ", " << space.availableStrict << ", "
        << (space.isStale ? "stale" : "fresh") << '}';
}

} // namespace mallowby
