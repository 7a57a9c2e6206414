#pragma once

#include <QString>

#include <optional>

namespace mallowby {

// A refused unmount or eject request: a status and the text that came with it.
struct Dissent {
    // Status values told apart.
    static constexpr qint32 unknownError = qint32(0xF8DA0001);
    static constexpr qint32 busy = qint32(0xF8DA0002);
    static constexpr qint32 exclusiveAccess = qint32(0xF8DA0004);
    static constexpr qint32 notFound = qint32(0xF8DA0006);
    static constexpr qint32 notPermitted = qint32(0xF8DA0008);
    static constexpr qint32 unsupported = qint32(0xF8DA000A);
    // An errno e from a local call is reported as this base plus e (EBUSY gives 0x0000C010).
    static constexpr qint32 errnoBase = 0xC000;

    qint32 status = 0;
    std::optional<QString> message;

    bool operator==(const Dissent&) const = default;
};

} // namespace mallowby
