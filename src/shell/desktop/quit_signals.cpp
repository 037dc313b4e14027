#include "quit_signals.h"

#include <csignal>
#include <fcntl.h>
#include <unistd.h>

namespace qor {

namespace {
int pipeEnds[2] = {-1, -1};

void onSignal(int number)
{
    // Only async-signal-safe work here: one byte into the pipe.
    const char byte = char(number);
    [[maybe_unused]] const auto written = ::write(pipeEnds[1], &byte, 1);
}
} // namespace

QuitSignals::QuitSignals(QObject *parent)
    : QObject(parent)
{
    if (pipeEnds[0] < 0 && ::pipe2(pipeEnds, O_CLOEXEC | O_NONBLOCK) != 0)
        return;
    m_notifier = std::make_unique<QSocketNotifier>(pipeEnds[0], QSocketNotifier::Read);
    connect(m_notifier.get(), &QSocketNotifier::activated, this, &QuitSignals::drain);
    struct sigaction action {};
    action.sa_handler = onSignal;
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_RESTART;
    for (const int number : {SIGTERM, SIGINT, SIGHUP})
        sigaction(number, &action, nullptr);
}

QuitSignals::~QuitSignals()
{
    for (const int number : {SIGTERM, SIGINT, SIGHUP})
        std::signal(number, SIG_DFL);
}

void QuitSignals::drain()
{
    char byte = 0;
    while (::read(pipeEnds[0], &byte, 1) == 1)
        Q_EMIT quitRequested(int(byte));
}

} // namespace qor
