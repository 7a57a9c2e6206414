#include "Notifications/FlushNotices.h"

#include "Notifications/Notifier.h"
#include "Settings/Preferences.h"

namespace mallowby {

FlushNotices::FlushNotices(FlushWatch& watch, Notifier& notifier, Preferences& preferences, Clock& clock, QObject* parent)
    : QObject(parent), m_watch(watch), m_notifier(notifier), m_preferences(preferences), m_clock(clock)
{
    connect(&m_watch, &FlushWatch::flushesChanged, this, &FlushNotices::update);
    connect(&m_watch, &FlushWatch::flushEnded, this, &FlushNotices::ended);
}

QString FlushNotices::writingBody(const FlushEstimate& estimate, ByteUnits units)
{
    QString body = QStringLiteral("Don't unplug it until this finishes.");
    if (const auto seconds = estimate.secondsLeft())
        body += QStringLiteral(" %1 left, %2.").arg(estimate.remainingText(units), FlushEstimate::timeText(*seconds));
    return body;
}

void FlushNotices::update()
{
    const Clock::TimePoint now = m_clock.now();
    for (const FlushWatch::Flush& flush : m_watch.flushes()) {
        const auto since = flush.estimate.writingSince();
        if (!since || now - *since <= writingDelay || !m_preferences.notifyTransferFinished())
            continue;
        const QString body = writingBody(flush.estimate, m_preferences.units());
        const auto shown = m_shown.constFind(flush.targetID);
        if (shown != m_shown.constEnd() && (shown->body == body || now - shown->at < replaceInterval))
            continue;
        m_shown.insert(flush.targetID, {body, now});
        m_notifier.post(identifier(flush.targetID), QStringLiteral("Writing data to ") + flush.name, body, false);
    }
}

void FlushNotices::ended(const FlushWatch::Flush& flush, bool ejected)
{
    if (!m_shown.remove(flush.targetID))
        return;
    if (ejected)
        m_notifier.post(identifier(flush.targetID), flush.name + QStringLiteral(" can be unplugged"), QString(), true);
    else
        m_notifier.withdraw(identifier(flush.targetID));
}

} // namespace mallowby
