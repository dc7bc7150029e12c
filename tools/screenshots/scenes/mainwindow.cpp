#include "scene.h"

#include <QSplitter>

// The window as a newcomer first sees it working: the port open on the register, one command
// sent ("Состояние ККТ"), its reply rendered in the tab and both of its frames in the log pane,
// each under its line in words (the window and the pane made taller, as a user does, to show them whole).
VIRTA_SCENE(main_window, 10)
{
    s.window()->resize(1024, 780);
    s.settle(100);
    if (auto *splitter = s.find<QSplitter>(QStringLiteral("splitter")))
        splitter->setSizes({480, 290});
    s.click(QStringLiteral("tabStatus/pbStatus"));
    s.settle(300);
    s.shot(QStringLiteral("main-window"));
}
