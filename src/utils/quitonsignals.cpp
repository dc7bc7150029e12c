#include "quitonsignals.h"

#include <QCoreApplication>

#if defined(Q_OS_UNIX)
#include <QSocketNotifier>
#include <csignal>
#include <sys/socket.h>
#include <unistd.h>

namespace {

int signalPipe[2] = {-1, -1};
volatile std::sig_atomic_t stopAsked = 0;

void onTerminate(int sig)
{
    // The first stop ends the program the ordinary way, which waits for the exchange in flight;
    // a second one is the user insisting, and ends it at once.
    if (stopAsked) {
        ::signal(sig, SIG_DFL);
        ::raise(sig);
        return;
    }
    stopAsked = sig;
    const char byte = char(sig);
    [[maybe_unused]] const auto n = ::write(signalPipe[0], &byte, 1);
}

} // namespace

void onTerminateSignals(std::function<void(int)> onSignal)
{
    if (::socketpair(AF_UNIX, SOCK_STREAM, 0, signalPipe) != 0)
        return;
    auto *notifier = new QSocketNotifier(signalPipe[1], QSocketNotifier::Read, qApp);
    QObject::connect(notifier, &QSocketNotifier::activated, qApp, [notifier, onSignal] {
        notifier->setEnabled(false);
        char byte = 0;
        [[maybe_unused]] const auto n = ::read(signalPipe[1], &byte, 1);
        if (onSignal)
            onSignal(int(byte));
    });
    struct sigaction sa = {};
    sa.sa_handler = onTerminate;
    sigemptyset(&sa.sa_mask);
    sa.sa_flags = SA_RESTART;
    ::sigaction(SIGINT, &sa, nullptr);
    ::sigaction(SIGTERM, &sa, nullptr);
}

void quitOnTerminateSignals(std::function<void(int)> onSignal)
{
    onTerminateSignals([onSignal](int sig) {
        if (onSignal)
            onSignal(sig);
        QCoreApplication::quit();
    });
}

int pendingTerminateSignal()
{
    return int(stopAsked);
}
#else
void onTerminateSignals(std::function<void(int)>)
{}

void quitOnTerminateSignals(std::function<void(int)>)
{}

int pendingTerminateSignal()
{
    return 0;
}
#endif
