// virta-screenshots: pictures of the main window for the documentation, taken by
// scripts/screenshots.sh under a virtual display against the emulator.
#include "scene.h"

#include "frmsg.h"
#include "frwrapper.h"
#include "loggermanager.h"
#include "mainwidget.h"

#include <QApplication>
#include <QComboBox>
#include <QCommandLineParser>
#include <QDir>
#include <QGuiApplication>
#include <QIcon>
#include <QPixmap>
#include <QScreen>

#include <algorithm>
#include <cstdio>

namespace {

// The whole screen, window decorations and all: what run.sh shows of a program started
// under a virtual display.
int grabScreen(const QString &path)
{
    QScreen *screen = QGuiApplication::primaryScreen();
    if (!screen) {
        std::fprintf(stderr, "virta-screenshots: no screen\n");
        return 1;
    }
    if (!screen->grabWindow(0).save(path)) {
        std::fprintf(stderr, "virta-screenshots: cannot write %s\n", qPrintable(path));
        return 1;
    }
    std::printf("%s\n", qPrintable(QFileInfo(path).absoluteFilePath()));
    return 0;
}

} // namespace

int main(int argc, char *argv[])
{
    registerFsMetaTypes();
    QApplication app(argc, argv);
    // The window shows these in its title; the same as the program itself.
    QApplication::setApplicationName(QStringLiteral("ВИРТА СЕРВИС"));
    QApplication::setApplicationVersion(QStringLiteral(VIRTA_VERSION));
    QApplication::setWindowIcon(QIcon(QStringLiteral(":/icons/logo.png")));

    QCommandLineParser parser;
    parser.setApplicationDescription(
        QStringLiteral("Drives the main window through its scenes against a register and saves screenshots."));
    parser.addHelpOption();
    const QCommandLineOption portOpt(QStringLiteral("port"), QStringLiteral("Register's serial device."),
                                     QStringLiteral("path"));
    const QCommandLineOption outOpt(QStringLiteral("out"), QStringLiteral("Folder of the pictures."),
                                    QStringLiteral("dir"), QStringLiteral("docs/screenshots"));
    const QCommandLineOption onlyOpt(QStringLiteral("only"), QStringLiteral("Run only this scene (repeatable)."),
                                     QStringLiteral("scene"));
    const QCommandLineOption listOpt(QStringLiteral("list"), QStringLiteral("List the scenes and exit."));
    const QCommandLineOption screenOpt(QStringLiteral("screen"),
                                       QStringLiteral("Save a picture of the whole screen to <file> and exit."),
                                       QStringLiteral("file"));
    const QCommandLineOption verboseOpt(QStringLiteral("verbose"), QStringLiteral("Show the program's warnings."));
    parser.addOptions({portOpt, outOpt, onlyOpt, listOpt, screenOpt, verboseOpt});
    parser.process(app);

    if (parser.isSet(screenOpt))
        return grabScreen(parser.value(screenOpt));

    QList<SceneEntry> scenes = sceneRegistry();
    std::stable_sort(scenes.begin(), scenes.end(),
                     [](const SceneEntry &a, const SceneEntry &b) { return a.order < b.order; });
    if (parser.isSet(listOpt)) {
        for (const SceneEntry &e : scenes)
            std::printf("%3d %s\n", e.order, qPrintable(e.name));
        return 0;
    }
    if (!parser.isSet(portOpt)) {
        std::fprintf(stderr, "virta-screenshots: --port is required (see scripts/screenshots.sh)\n");
        return 2;
    }
    const QStringList only = parser.values(onlyOpt);
    for (const QString &name : only) {
        if (std::none_of(scenes.begin(), scenes.end(), [&](const SceneEntry &e) { return e.name == name; })) {
            std::fprintf(stderr, "virta-screenshots: no scene named %s (see --list)\n", qPrintable(name));
            return 2;
        }
    }
    if (!parser.isSet(verboseOpt))
        LoggerManager::muteLog();

    bool failed = false;
    for (const SceneEntry &e : scenes) {
        if (!only.isEmpty() && !only.contains(e.name))
            continue;
        std::printf("scene %s\n", qPrintable(e.name));
        std::fflush(stdout);
        MainWidget window;
        window.resize(window.minimumSize());
        window.show();
        SceneDriver s(&window, parser.value(outOpt));
        s.settle(300);
        s.type(QStringLiteral("wPort/cbPort"), parser.value(portOpt));
        s.click(QStringLiteral("wPort/pbOpen"));
        auto *fr = window.findChild<FsWrapper *>();
        if (!fr || !fr->isOpen() || fr->portName() != parser.value(portOpt)) {
            std::fprintf(stderr, "virta-screenshots: the port form did not open %s\n",
                         qPrintable(parser.value(portOpt)));
            return 1;
        }
        e.run(s);
        for (const QString &box : s.boxes())
            std::printf("  box %s\n", qPrintable(box));
        failed = failed || s.failed();
    }
    return failed ? 1 : 0;
}
