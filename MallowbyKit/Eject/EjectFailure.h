#pragma once

#include "Eject/Dissent.h"

#include <QString>

#include <optional>
#include <variant>

namespace mallowby {

// Why an eject failed, with the two texts every screen and the report show for it.
class EjectFailure {
public:
    struct NotPermitted {
        std::optional<QString> by;
        bool operator==(const NotPermitted&) const = default;
    };
    struct Other {
        qint32 status = 0;
        std::optional<QString> message;
        bool operator==(const Other&) const = default;
    };
    struct Busy {
        bool operator==(const Busy&) const = default;
    };
    struct ExclusiveAccess {
        bool operator==(const ExclusiveAccess&) const = default;
    };

    static EjectFailure notPermitted(std::optional<QString> by = std::nullopt) { return EjectFailure(NotPermitted{std::move(by)}); }
    static EjectFailure other(qint32 status, std::optional<QString> message = std::nullopt)
    {
        return EjectFailure(Other{status, std::move(message)});
    }
    static EjectFailure busy() { return EjectFailure(Busy{}); }
    static EjectFailure exclusiveAccess() { return EjectFailure(ExclusiveAccess{}); }

    // The failure a refusal stands for; none for success.
    static std::optional<EjectFailure> from(const std::optional<Dissent>& dissent);

    bool isBusy() const { return std::holds_alternative<Busy>(m_case); }
    bool isExclusiveAccess() const { return std::holds_alternative<ExclusiveAccess>(m_case); }
    const NotPermitted* asNotPermitted() const { return std::get_if<NotPermitted>(&m_case); }
    const Other* asOther() const { return std::get_if<Other>(&m_case); }

    // The long text shown to the user.
    QString explanation() const;
    // The short text for the log and the diagnostics report.
    QString summary() const;
    // The case and its values: "busy", "notPermitted(by: Optional(\"x\"))", "other(status: 5, message: nil)".
    QString debugDescription() const;

    bool operator==(const EjectFailure&) const = default;

private:
    using Case = std::variant<NotPermitted, Other, Busy, ExclusiveAccess>;
    explicit EjectFailure(Case c) : m_case(std::move(c)) {}

    Case m_case;
};

} // namespace mallowby
