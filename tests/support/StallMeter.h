#pragma once

#include <QElapsedTimer>
#include <QTimer>

#include <algorithm>

namespace mallowby::test {

// The longest time the main thread went without turning its event loop, from construction on.
class StallMeter {
public:
    // A wait on hung I/O stalls for its whole time limit (300 ms and more); a loaded machine's
    // scheduler alone pauses the thread for tens of milliseconds.
    static constexpr qint64 limitMs = 100;

    StallMeter()
    {
        QObject::connect(&m_ticks, &QTimer::timeout, [this] { m_longest = std::max(m_longest, m_sinceTick.restart()); });
        m_since.start();
        m_sinceTick.start();
        m_ticks.start(5);
    }
    // Ends the measurement; the longest stall in milliseconds.
    qint64 stop()
    {
        m_ticks.stop();
        return m_longest;
    }
    qint64 elapsed() const { return m_since.elapsed(); }

private:
    QTimer m_ticks;
    QElapsedTimer m_since, m_sinceTick;
    qint64 m_longest = 0;
};

} // namespace mallowby::test
