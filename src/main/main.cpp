#include "frmsg.h"
#include "loggermanager.h"
#include "mainwidget.h"

#include <QApplication>
#include <QDir>
#include <QIcon>

#include <cstdio>
#include <cstdlib>
#include <cstring>

#if defined(Q_OS_UNIX)
#include <QSocketNotifier>
#include <csignal>
#include <sys/socket.h>
#include <unistd.h>
#endif

namespace {

// Without a display Qt aborts with a message about the "xcb" plugin that says nothing about
// the actual cause; say it in plain words instead (run.sh then offers a virtual display).
bool displayMissing(int argc, char **argv)
{
#if defined(Q_OS_UNIX) && !defined(Q_OS_MACOS)
    for (int i = 1; i < argc; ++i) {
        if (std::strcmp(argv[i], "-platform") == 0 || std::strcmp(argv[i], "--platform") == 0)
            return false;
    }
    auto isSet = [](const char *name) {
        const char *v = std::getenv(name);
        return v && *v;
    };
    return !isSet("DISPLAY") && !isSet("WAYLAND_DISPLAY") && !isSet("QT_QPA_PLATFORM");
#else
    Q_UNUSED(argc)
    Q_UNUSED(argv)
    return false;
#endif
}

#if defined(Q_OS_UNIX)
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
    stopAsked = 1;
    const char byte = 1;
    [[maybe_unused]] const auto n = ::write(signalPipe[0], &byte, 1);
}

// Ctrl+C in a terminal, or run.sh stopping the program, ends the event loop the ordinary
// way, so that the stop banner is written and the log files are closed.
void quitOnTerminateSignals()
{
    if (::socketpair(AF_UNIX, SOCK_STREAM, 0, signalPipe) != 0)
        return;
    auto *notifier = new QSocketNotifier(signalPipe[1], QSocketNotifier::Read, qApp);
    QObject::connect(notifier, &QSocketNotifier::activated, qApp, [notifier] {
        notifier->setEnabled(false);
        char byte;
        [[maybe_unused]] const auto n = ::read(signalPipe[1], &byte, 1);
        QCoreApplication::quit();
    });
    struct sigaction sa = {};
    sa.sa_handler = onTerminate;
    sigemptyset(&sa.sa_mask);
    sa.sa_flags = SA_RESTART;
    ::sigaction(SIGINT, &sa, nullptr);
    ::sigaction(SIGTERM, &sa, nullptr);
}
#else
void quitOnTerminateSignals()
{}
#endif

} // namespace

int main(int argc, char *argv[])
{
    registerFsMetaTypes();

    if (displayMissing(argc, argv)) {
        std::fprintf(stderr,
                     "virta-service: no display found (neither DISPLAY nor WAYLAND_DISPLAY is set).\n"
                     "Start it from a graphical session, or under a virtual display: xvfb-run -a %s\n"
                     "(run.sh does that by itself when Xvfb is installed).\n",
                     argv[0]);
        return 2;
    }

    auto *app = new QApplication(argc, argv);
    QApplication::setApplicationName(QStringLiteral("ВИРТА СЕРВИС"));
    QApplication::setApplicationVersion(QStringLiteral(VIRTA_VERSION));
    QApplication::setWindowIcon(QIcon(QStringLiteral(":/icons/logo.png")));
    // Before anything is written: a stop asked for while the program starts still ends it the
    // ordinary way (the notice waits in the socket until the event loop runs).
    quitOnTerminateSignals();

    const QString logFolder = QDir::tempPath() + QStringLiteral("/virta5");
    createDirectory(logFolder, QFileDevice::Permissions(0x7777));

    LoggerManager::setLogFlags(3);
    LoggerManager::setKeepFilesOpen(true);
    LoggerManager::initLog(logFolder, 5, true, QtDebugMsg);

    auto *window = new MainWidget(nullptr);
    window->show();
    const int code = QApplication::exec();

    LoggerManager::releaseLog();
    delete window;
    delete app;
    return code;
}
