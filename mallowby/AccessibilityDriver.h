#pragma once

#include <QObject>
#include <QSocketNotifier>

namespace mallowby {

// Lets an end-to-end test operate the running app as a screen reader would, where no AT-SPI
// bus is available: with MALLOWBY_ACCESSIBILITY_DRIVER set, the app reads commands from
// standard input, one a line, and answers each with one line on standard output, fields
// separated by tabs, the first field always `tag`:
//   names        → tag, "names" and the accessible names of everything shown
//   press NAME   → tag, "pressed", "missing" or "disabled", then NAME
// The output is shared: whatever the session bus starts (an AT-SPI registry, a portal) inherits
// it and may write lines of its own there, so a reader takes only the tagged lines.
class AccessibilityDriver : public QObject {
    Q_OBJECT
public:
    static constexpr QLatin1String tag{"mallowby-driver"};

    explicit AccessibilityDriver(QObject* parent = nullptr);

    // The answer to one command line, without the tag.
    static QString answer(const QString& command);

private:
    void readCommands();

    QSocketNotifier m_input;
    QByteArray m_pending;
};

} // namespace mallowby
