#pragma once

#include <QList>
#include <QObject>

#include <functional>

class QSocketNotifier;

namespace mallowby {

// Turns the polite stop signals (SIGTERM at logout, SIGINT from a terminal, SIGHUP when it
// closes) into a call on the event loop, through a self-pipe, so the program ends the way Quit
// ends it. Should the loop not answer, a second signal ends the process the default way.
class TerminationSignals : public QObject {
    Q_OBJECT
public:
    // One instance per process; `received` runs on this object's thread, once per signal.
    TerminationSignals(QList<int> stopSignals, std::function<void(int signal)> received,
                       QObject* parent = nullptr);
    ~TerminationSignals() override;

private:
    void drain();

    QList<int> m_signals;
    std::function<void(int)> m_received;
    QSocketNotifier* m_notifier = nullptr;
};

} // namespace mallowby
