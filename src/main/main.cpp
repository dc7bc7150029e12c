#include "frmsg.h"
#include "loggermanager.h"
#include "mainwidget.h"
#include "quitonsignals.h"

#include <QApplication>
#include <QCommandLineParser>
#include <QDir>
#include <QIcon>

#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace {

// --help and --version answer on the terminal before any display is looked for: over ssh, in a
// shell without a session, and when the package build makes the manual page from them. Any other
// argument is left to QApplication as before (-platform, -style ...). Returns the exit code, or -1
// to go on starting the window.
int answerInfoOption(int argc, char **argv)
{
    if (argc < 2)
        return -1;
    int coreArgc = argc;
    const QCoreApplication core(coreArgc, argv); // the parser needs one; it opens no display
    QCommandLineParser parser;
    parser.setSingleDashWordOptionMode(QCommandLineParser::ParseAsLongOptions);
    parser.setApplicationDescription(QStringLiteral(
        "Сервисная программа для фискального регистратора: чтение состояния и счётчиков, "
        "справочники, настройки, регистрация, смены, чеки, отчёты, печать и обновление прошивки "
        "через последовательный порт. Каждый кадр обмена с регистратором показывается в журнале "
        "окна.\n\n"
        "Порт, кассир и пароль выбираются в окне программы. Программе нужен графический дисплей; "
        "без него её можно запустить так: xvfb-run -a virta-service. Журналы пишутся в папку virta5 "
        "во временном каталоге системы ($TMPDIR или /tmp), а если ею нельзя безопасно пользоваться, "
        "то в личную папку virta5-UID рядом с ней (UID — номер пользователя). Для работы без регистратора есть "
        "virta-emulator."));
    const QCommandLineOption help({QStringLiteral("h"), QStringLiteral("help")},
                                  QStringLiteral("Показать эту справку и выйти."));
    const QCommandLineOption version({QStringLiteral("v"), QStringLiteral("version")},
                                     QStringLiteral("Показать версию программы и выйти."));
    parser.addOptions({help, version});
    parser.parse(QCoreApplication::arguments()); // unknown options belong to QApplication

    // Written as UTF-8 whatever the locale says, so that the Russian text survives LC_ALL=C.
    QString text;
    if (parser.isSet(help))
        text = parser.helpText();
    else if (parser.isSet(version))
        text = QStringLiteral("virta-service " VIRTA_VERSION "\n"
                              "Copyright (c) 2026 the ВИРТА СЕРВИС authors.\n"
                              "Лицензия MIT: программу можно свободно использовать, изменять и "
                              "распространять; никаких гарантий.\n");
    else
        return -1;
    std::fputs(text.toUtf8().constData(), stdout);
    return std::fflush(stdout) == 0 ? 0 : 1;
}

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
    if (const int code = answerInfoOption(argc, argv); code >= 0)
        return code;

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
#ifdef Q_OS_UNIX
    // Past a file size limit (ulimit -f) a write must fail and cost log entries, which the logger
    // notices and says, not end the program in the middle of a fiscal document.
    std::signal(SIGXFSZ, SIG_IGN);
#endif

    const QString logFolder = QDir::tempPath() + QStringLiteral("/virta5");
    createDirectory(logFolder, QFileDevice::Permissions(0x7777));

    LoggerManager::setLogFlags(3);
    LoggerManager::setKeepFilesOpen(true);
    LoggerManager::initLog(logFolder, 5, true, QtDebugMsg);

    auto *window = new MainWidget(nullptr);
    window->show();
    const int code = QApplication::exec();

    // The window's command layer lets the exchange in flight finish (its reply is what tells
    // whether the register did what was asked): gone before the log is released, so that the
    // reply goes to the log file, not to stderr.
    delete window;
    LoggerManager::releaseLog();
    delete app;
    return code;
}
