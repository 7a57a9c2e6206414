#include "Notifications/LowSpaceWatch.h"

namespace mallowby {

QList<Volume> LowSpaceWatch::evaluate(const QList<Volume>& volumes, const LowSpaceThreshold& newThreshold)
{
    if (threshold != newThreshold) {
        threshold = newThreshold;
        low.clear();
    }

    QHash<QString, bool> next;
    QList<Volume> becameLow;
    for (const Volume& volume : volumes) {
        const auto old = low.constFind(volume.id);
        if (!volume.space || volume.space->isStale) {
            if (old != low.constEnd())
                next.insert(volume.id, *old);
            else
                next.remove(volume.id);
            continue;
        }
        const Space& space = *volume.space;
        bool flag = false;
        if (space.total < 1) {
            flag = false;
        } else if (old != low.constEnd() && *old) {
            flag = !newThreshold.isClearOf(space);
        } else {
            const bool lowNow = newThreshold.isLow(space);
            if (old != low.constEnd() && lowNow)
                becameLow << volume;
            flag = lowNow;
        }
        next.insert(volume.id, flag);
    }
    low = std::move(next);
    return becameLow;
}

} // namespace mallowby
