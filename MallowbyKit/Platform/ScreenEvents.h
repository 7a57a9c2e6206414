#pragma once

#include <QObject>

namespace mallowby {

// Screens going to sleep or waking, and the session locking or unlocking. Delivered on the main
// thread; a source whose service is absent simply never reports.
class ScreenEvents : public QObject {
    Q_OBJECT
public:
    using QObject::QObject;
    virtual void start() = 0;

signals:
    // true: the screens slept or the session locked; false: woke or unlocked. Sent for every
    // notification, also when the state did not change.
    void screenEvent(bool asleep);
};

} // namespace mallowby
