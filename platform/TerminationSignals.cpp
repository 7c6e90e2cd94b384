#include "platform/TerminationSignals.h"

#include <QSocketNotifier>

#include <csignal>
#include <fcntl.h>
#include <unistd.h>

namespace {

int g_signalPipe[2] = {-1, -1};
constexpr int kSignals[] = {SIGINT, SIGTERM, SIGHUP};

void OnSignal(int)
{
    const char byte = 1;
    [[maybe_unused]] const ssize_t written = write(g_signalPipe[1], &byte, 1);
}

} // namespace

CTerminationSignals::CTerminationSignals(std::function<void()> onSignal) : m_onSignal(std::move(onSignal))
{
    if (pipe2(g_signalPipe, O_CLOEXEC | O_NONBLOCK) != 0)
        return;
    auto* notifier = new QSocketNotifier(g_signalPipe[0], QSocketNotifier::Read, this);
    connect(notifier, &QSocketNotifier::activated, this, [this, notifier] {
        notifier->setEnabled(false); // once is enough
        m_onSignal();
    });
    struct sigaction action = {};
    action.sa_handler = OnSignal;
    // SIGHUP: the terminal it was started from was closed.
    for (const int signal : kSignals)
        sigaction(signal, &action, nullptr);
    m_bValid = true;
}

CTerminationSignals::~CTerminationSignals()
{
    if (!m_bValid)
        return;
    for (const int each : kSignals)
        signal(each, SIG_DFL);
}
