#pragma once

#include <QObject>
#include <QSocketNotifier>

namespace mallowby {

// Lets an end-to-end test operate the running app as a screen reader would, where no AT-SPI
// bus is available: with MALLOWBY_ACCESSIBILITY_DRIVER set, the app reads commands from
// standard input, one a line, and answers each with one line on standard output, fields
// separated by tabs:
//   names        → "names" and the accessible names of everything shown
//   press NAME   → "pressed", "missing" or "disabled", then NAME
class AccessibilityDriver : public QObject {
    Q_OBJECT
public:
    explicit AccessibilityDriver(QObject* parent = nullptr);

    // The answer to one command line.
    static QString answer(const QString& command);

private:
    void readCommands();

    QSocketNotifier m_input;
    QByteArray m_pending;
};

} // namespace mallowby
