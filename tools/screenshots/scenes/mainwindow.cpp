#include "scene.h"

// The window as a newcomer first sees it working: the port open on the register, one command
// sent ("Состояние ККТ"), its reply rendered in the tab and both of its frames in the log pane,
// each under its line in words, at the window's size at start (the log pane has a third of it).
VIRTA_SCENE(main_window, 10)
{
    s.click(QStringLiteral("tabStatus/pbStatus"));
    s.settle(300);
    s.shot(QStringLiteral("main-window"));
}
