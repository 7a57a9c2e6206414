#include "Settings/Accent.h"

namespace mallowby {

namespace {

constexpr Accent::Color phosphorGreen{0.2, 0.95, 0.45};
constexpr Accent::Color cyanBlue{0.15, 0.85, 1.0};
constexpr Accent::Color magentaPink{1.0, 0.25, 0.75};
constexpr Accent::Color amberYellow{1.0, 0.72, 0.1};

} // namespace

const QList<Accent>& Accent::allCases()
{
    static const QList<Accent> cases{phosphor, cyan, magenta, amber, system};
    return cases;
}

QString Accent::rawValue() const
{
    switch (m_value) {
    case phosphor: return QStringLiteral("phosphor");
    case cyan: return QStringLiteral("cyan");
    case magenta: return QStringLiteral("magenta");
    case amber: return QStringLiteral("amber");
    case system: return QStringLiteral("system");
    }
    return QStringLiteral("phosphor");
}

std::optional<Accent> Accent::fromRawValue(const QString& text)
{
    for (Accent accent : allCases())
        if (accent.rawValue() == text)
            return accent;
    return std::nullopt;
}

Accent::Color Accent::color(std::optional<Color> desktopAccent) const
{
    switch (m_value) {
    case phosphor: return phosphorGreen;
    case cyan: return cyanBlue;
    case magenta: return magentaPink;
    case amber: return amberYellow;
    case system: return desktopAccent.value_or(fallbackSystemColor);
    }
    return phosphorGreen;
}

Accent::Color Accent::writeColor() const
{
    return m_value == magenta ? cyanBlue : magentaPink;
}

} // namespace mallowby
