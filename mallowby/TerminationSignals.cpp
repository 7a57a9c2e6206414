#include "TerminationSignals.h"

#include <QList>
#include <QSocketNotifier>

#include <cerrno>
#include <csignal>

#include <fcntl.h>
#include <unistd.h>

namespace mallowby {

namespace {

// The pipe's write end, for the handler: [0] read, [1] write.
int s_pipe[2] = {-1, -1};

extern "C" void onSignal(int signal)
{
    const int saved = errno;
    const char number = char(signal);
    [[maybe_unused]] const ssize_t written = ::write(s_pipe[1], &number, 1);
    errno = saved;
}

} // namespace

TerminationSignals::TerminationSignals(QList<int> stopSignals, std::function<void(int)> received,
                                       QObject* parent)
    : QObject(parent), m_signals(std::move(stopSignals)), m_received(std::move(received))
{
    if (s_pipe[0] >= 0 || ::pipe2(s_pipe, O_CLOEXEC | O_NONBLOCK) != 0)
        return;
    m_notifier = new QSocketNotifier(s_pipe[0], QSocketNotifier::Read, this);
    connect(m_notifier, &QSocketNotifier::activated, this, &TerminationSignals::drain);
    struct sigaction action {};
    action.sa_handler = onSignal;
    sigemptyset(&action.sa_mask);
    // The handler answers once; a second signal, should the loop be stuck, takes the default.
    action.sa_flags = SA_RESTART | SA_RESETHAND;
    for (int signal : m_signals)
        ::sigaction(signal, &action, nullptr);
}

TerminationSignals::~TerminationSignals()
{
    if (!m_notifier)
        return;
    for (int signal : m_signals)
        ::signal(signal, SIG_DFL);
    ::close(s_pipe[0]);
    ::close(s_pipe[1]);
    s_pipe[0] = s_pipe[1] = -1;
}

void TerminationSignals::drain()
{
    char numbers[16];
    ssize_t count;
    while ((count = ::read(s_pipe[0], numbers, sizeof numbers)) > 0)
        for (ssize_t i = 0; i < count; ++i)
            m_received(numbers[i]);
}

} // namespace mallowby
