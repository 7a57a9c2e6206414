#include "Eject/EjectFailure.h"

#include <QStringList>

namespace mallowby {

namespace {

QString hex(qint32 status)
{
    return QStringLiteral("0x") + QString::number(quint32(status), 16).toUpper().rightJustified(8, QLatin1Char('0'));
}

QString optionalText(const std::optional<QString>& text)
{
    return text ? QStringLiteral("Optional(\"%1\")").arg(*text) : QStringLiteral("nil");
}

} // namespace

std::optional<EjectFailure> EjectFailure::from(const std::optional<Dissent>& dissent)
{
    if (!dissent)
        return std::nullopt;
    switch (dissent->status) {
    case Dissent::errnoBase + 16:  // EBUSY
    case Dissent::busy:
        return busy();
    case Dissent::exclusiveAccess:
        return exclusiveAccess();
    case Dissent::notPermitted:
        return notPermitted(dissent->message);
    default:
        return other(dissent->status, dissent->message);
    }
}

QString EjectFailure::explanation() const
{
    if (isBusy())
        return QStringLiteral("Files on the drive are in use.");
    if (isExclusiveAccess())
        return QStringLiteral("Another app, such as a disk or partition editor, is using the drive exclusively.");
    if (const auto* refused = asNotPermitted())
        return refused->by ? *refused->by + QStringLiteral(" refused to let the drive eject.")
                           : QStringLiteral("Another app refused to let the drive eject.");
    const auto* other = asOther();
    QStringList parts;
    if (other->message)
        parts << *other->message;
    parts << QStringLiteral("Error ") + hex(other->status);
    return parts.join(QStringLiteral(". "));
}

QString EjectFailure::summary() const
{
    if (isBusy())
        return QStringLiteral("busy");
    if (isExclusiveAccess())
        return QStringLiteral("exclusive access");
    if (const auto* refused = asNotPermitted())
        return refused->by ? QStringLiteral("not permitted (%1)").arg(*refused->by) : QStringLiteral("not permitted");
    const auto* other = asOther();
    QStringList parts{hex(other->status)};
    if (other->message)
        parts << *other->message;
    return parts.join(QLatin1Char(' '));
}

QString EjectFailure::debugDescription() const
{
    if (isBusy())
        return QStringLiteral("busy");
    if (isExclusiveAccess())
        return QStringLiteral("exclusiveAccess");
    if (const auto* refused = asNotPermitted())
        return QStringLiteral("notPermitted(by: %1)").arg(optionalText(refused->by));
    const auto* other = asOther();
    return QStringLiteral("other(status: %1, message: %2)").arg(other->status).arg(optionalText(other->message));
}

} // namespace mallowby
