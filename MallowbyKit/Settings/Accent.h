#pragma once

#include <QList>
#include <QString>

#include <optional>

namespace mallowby {

// The popover's tint. Colours are plain sRGB components; the application turns them into QColor.
class Accent {
public:
    enum Value : quint8 { phosphor, cyan, magenta, amber, system };

    struct Color {
        double red = 0;
        double green = 0;
        double blue = 0;

        bool operator==(const Color&) const = default;
    };

    // Stands in for the desktop's accent where it gives none.
    static constexpr Color fallbackSystemColor{0.21, 0.52, 0.89};

    constexpr Accent(Value value = phosphor) : m_value(value) {}
    constexpr operator Value() const { return m_value; }

    static const QList<Accent>& allCases();

    QString rawValue() const;
    static std::optional<Accent> fromRawValue(const QString& text);

    // The accent colour; `system` takes the desktop's accent when one is known.
    Color color(std::optional<Color> desktopAccent = std::nullopt) const;
    // Write activity: magenta, or cyan when the accent itself is magenta.
    Color writeColor() const;

private:
    Value m_value;
};

} // namespace mallowby
