#pragma once

#include <QObject>

namespace mallowby {

// A source of "something about the volumes may have changed" events: mounts, unmounts,
// devices appearing, going or changing (a new label). Delivered on the main thread.
class ChangeSource : public QObject {
    Q_OBJECT
public:
    using QObject::QObject;
    // Starts watching; false when the source cannot be had here.
    virtual bool start() = 0;

signals:
    void changed();
};

} // namespace mallowby
