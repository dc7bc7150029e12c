#include "frmsg.h"
#include "loggermanager.h"
#include "mainwidget.h"
#include "quitonsignals.h"

#include <QApplication>
#include <QDir>
#include <QIcon>

#include <cstdio>
#include <cstdlib>
#include <cstring>


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
    // ordinary way, so that the stop banner is written and the log files are closed.
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
