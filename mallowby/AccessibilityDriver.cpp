#include "AccessibilityDriver.h"

#include "AccessibleTree.h"

#include <QStringList>

#include <cstdio>
#include <unistd.h>

namespace mallowby {

AccessibilityDriver::AccessibilityDriver(QObject* parent)
    : QObject(parent), m_input(STDIN_FILENO, QSocketNotifier::Read)
{
    connect(&m_input, &QSocketNotifier::activated, this, &AccessibilityDriver::readCommands);
}

QString AccessibilityDriver::answer(const QString& command)
{
    const AccessibleTree tree;
    if (command == QLatin1String("names"))
        return (QStringList{QStringLiteral("names")} + tree.names()).join(QLatin1Char('\t'));
    if (command.startsWith(QLatin1String("press "))) {
        const QString name = command.mid(6);
        switch (tree.press(name)) {
        case AccessibleTree::Press::pressed: return QStringLiteral("pressed\t") + name;
        case AccessibleTree::Press::missing: return QStringLiteral("missing\t") + name;
        case AccessibleTree::Press::disabled: return QStringLiteral("disabled\t") + name;
        }
    }
    return QStringLiteral("unknown\t") + command;
}

void AccessibilityDriver::readCommands()
{
    char buffer[4096];
    const ssize_t count = ::read(STDIN_FILENO, buffer, sizeof buffer);
    if (count <= 0) {
        // End of input: nobody drives any more.
        m_input.setEnabled(false);
        return;
    }
    m_pending.append(buffer, count);
    qsizetype end;
    while ((end = m_pending.indexOf('\n')) >= 0) {
        const QString command = QString::fromUtf8(m_pending.left(end)).trimmed();
        m_pending.remove(0, end + 1);
        if (command.isEmpty())
            continue;
        const QByteArray line = QString(tag + QLatin1Char('\t') + answer(command)).toUtf8() + '\n';
        std::fwrite(line.constData(), 1, line.size(), stdout);
        std::fflush(stdout);
    }
}

} // namespace mallowby
