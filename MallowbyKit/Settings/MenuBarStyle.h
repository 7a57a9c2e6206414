#pragma once

#include <QList>
#include <QString>

#include <optional>

namespace mallowby {

// What the menu bar item shows besides the drive symbol.
class MenuBarStyle {
public:
    enum Value : quint8 { icon, space, activity, spaceActivity };

    constexpr MenuBarStyle(Value value = icon) : m_value(value) {}
    constexpr operator Value() const { return m_value; }

    static const QList<MenuBarStyle>& allCases();

    QString rawValue() const;
    static std::optional<MenuBarStyle> fromRawValue(const QString& text);
    QString displayName() const;

    bool showsSpace() const { return m_value == space || m_value == spaceActivity; }
    bool showsActivity() const { return m_value == activity || m_value == spaceActivity; }

    // The style actually on show. hasVolume: there is a volume for the space figure;
    // transferring: a transfer is under way. Activity takes over during transfers when asked to;
    // without a volume the space figure drops out.
    MenuBarStyle resolved(bool hasVolume, bool duringTransfers, bool transferring) const;

    // Every style resolved() can give for this one, this one first: the item reserves the widest,
    // so its width does not jump when the shown style changes.
    QList<MenuBarStyle> reserved(bool duringTransfers) const;

private:
    Value m_value;
};

} // namespace mallowby
